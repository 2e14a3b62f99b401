// A drive that resets and vanishes during its long write, as a drive may once
// it runs its new firmware: the run ends within the poll's bound, pausing
// between polls, with a few honest lines and the closing key wait.
#include <algorithm>
#include <functional>

#include "tests/update/update_fixture.h"

using update_test::UpdaterRun;

namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kWriteBuffer = 0x3B;

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    n++;
  return n;
}

// The seam calls after the commit, as "TUR" (a poll) and "pause <ms>".
std::vector<std::string> AfterCommit() {
  std::vector<std::string> after;
  bool committed = false;
  for (const auto &call : sim::Calls()) {
    if (call.fn == "DeviceIoControl" && call.args[1] == IOCTL_SCSI_PASS_THROUGH_DIRECT &&
        !call.data.empty()) {
      const auto *request = (const PassThroughRequest *)call.data.data();
      if (request->header.Cdb[0] == kWriteBuffer && request->header.Cdb[1] == 0x07)
        committed = true;
      else if (committed && request->header.Cdb[0] == kTestUnitReady)
        after.push_back("TUR");
    } else if (call.fn == "Sleep" && committed) {
      after.push_back("pause " + std::to_string(call.args[0]));
    }
  }
  return after;
}

std::vector<uint8_t> SenseBytes(uint8_t key, uint8_t asc, uint8_t ascq) {
  const auto sense = sim::Sense(key, asc, ascq);
  return std::vector<uint8_t>(sense.begin(), sense.end());
}

TEST_F(UpdaterRun, DriveVanishingDuringTheLongWriteEndsTheRunWithinTheBound) {
  struct Case {
    const char *name;
    std::function<void(sim::Drive &)> go; // makes the drive go during its long write
    bool reportedReset;                   // it said it was done before it went
    size_t pollsAfterCommit;
  };
  const std::vector<Case> cases = {
      {"vanishes at the third poll",
       [](sim::Drive &d) {
         sim::Fault fault;
         fault.opcode = kTestUnitReady;
         fault.occurrence = 4; // the no-disc gate, then polls 1 to 3
         fault.kind = sim::FaultKind::Vanish;
         d.faults.push_back(fault);
       },
       false, 2 + 10},
      {"resets without a word and vanishes",
       [](sim::Drive &d) {
         d.hook = [&d](const sim::ScsiCommand &c, sim::ScsiAnswer &a) {
           if (!d.committed || c.cdb[0] != kTestUnitReady)
             return false;
           a.vanish = true;
           return true;
         };
       },
       false, 10},
      {"reports the reset, then vanishes",
       [](sim::Drive &d) {
         d.hook = [&d, told = false](const sim::ScsiCommand &c, sim::ScsiAnswer &a) mutable {
           if (!d.committed)
             return false;
           if (!told && c.cdb[0] == kTestUnitReady) {
             told = true; // the reset unit attention, once; then it is gone
             a.status = 0x02;
             a.sense = SenseBytes(0x06, 0x29, 0x00);
             return true;
           }
           a.vanish = true;
           return true;
         };
       },
       true, 1 + 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    drive.longWriteMs = 60000; // a minute: the drive goes long before it would end
    c.go(drive);
    auto run = Run();
    EXPECT_EQ(0, run.status);
    EXPECT_FALSE(run.ended);

    // Polls alternate with the 500 ms pause: no busy loop, and a few seconds
    // from the commit to the end, far inside the ten minutes' bound.
    const std::vector<std::string> after = AfterCommit();
    size_t polls = 0;
    uint64_t paused = 0;
    for (size_t i = 0; i < after.size(); i++) {
      if (after[i] == "TUR") {
        polls++;
        if (i > 0 && !c.reportedReset) {
          EXPECT_NE("TUR", after[i - 1]) << "two polls without a pause, at " << i;
        }
      } else {
        paused += std::stoul(after[i].substr(6));
      }
    }
    EXPECT_EQ(c.pollsAfterCommit, polls);
    EXPECT_LE(paused, 6000u);

    // A few honest lines: one transport error line per command that found the
    // drive gone, then the outcome and the key wait, and nothing after it.
    EXPECT_LE(Count(run.out, "Error : "), 10u);
    const std::string ending =
        c.reportedReset ? std::string("After FW Updating : \n\n") + MSG_PRESS_ANY_KEY + "\n"
                        : std::string("\nThe drive did not report the end of the update.\n") +
                              MSG_UPDATE_FAILED + "\n" + MSG_PRESS_ANY_KEY + "\n";
    ASSERT_GE(run.out.size(), ending.size());
    EXPECT_EQ(ending, run.out.substr(run.out.size() - ending.size()));
    EXPECT_EQ(c.reportedReset ? 1u : 0u, Count(run.out, MSG_UPDATE_COMPLETE));
    EXPECT_EQ(1u, sim::CallsTo("_getch").size());
    // The key wait is the last thing that happens to the drive's commands.
    const auto commandsAfterKey =
        std::find_if(sim::Calls().rbegin(), sim::Calls().rend(),
                     [](const sim::Call &call) { return call.fn == "_getch"; }) -
        sim::Calls().rbegin();
    EXPECT_EQ(0, std::count_if(sim::Calls().end() - commandsAfterKey, sim::Calls().end(),
                               [](const sim::Call &call) {
                                 return call.fn == "DeviceIoControl" &&
                                        call.args[1] == IOCTL_SCSI_PASS_THROUGH_DIRECT;
                               }));
    EXPECT_TRUE(sim::TempFolderEntries().empty());
  }
}

} // namespace
