// The fault walk: every command of a successful run fails in turn, in each way
// a command can fail, and the whole updater runs each time.
#include "tests/update/update_fixture.h"

using update_test::Identification;
using update_test::UpdaterRun;

namespace {

enum class Outcome { NoTarget, Silent, Disc, Failed, Complete };

// The commands of a successful run with a long write of 1.5 s: the
// identification INQUIRY, INQUIRY, READ BUFFER, TEST UNIT READY, the start,
// 128 pieces, the commit, four polls, two TEST UNIT READY and INQUIRY.
constexpr int kCommands = 141;
constexpr int kFirstDownload = 5;
constexpr int kCommit = 134;
constexpr int kLastPoll = 138;

Outcome Expected(int n, sim::FaultKind kind) {
  const bool gone = kind == sim::FaultKind::Vanish;
  if (n == 1)
    return Outcome::NoTarget;
  if (n == 2)
    return gone ? Outcome::Silent : Outcome::Complete;
  if (n == 3)
    return Outcome::Silent;
  if (n == 4)
    return Outcome::Disc;
  if (n <= kCommit)
    return Outcome::Failed;
  if (n <= kLastPoll)
    return gone ? Outcome::Failed : Outcome::Complete;
  return Outcome::Complete; // the closing commands are not examined
}

const char *Name(sim::FaultKind kind) {
  switch (kind) {
  case sim::FaultKind::Transport:
    return "transport failure";
  case sim::FaultKind::CheckCondition:
    return "ILLEGAL REQUEST";
  case sim::FaultKind::Vanish:
    return "device gone";
  }
  return "?";
}

TEST_F(UpdaterRun, EveryCommandOfARunFailingInEveryWay) {
  // The run the walk starts from.
  {
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    drive.longWriteMs = 1500;
    Run();
    ASSERT_EQ((size_t)kCommands, drive.commands.size());
  }
  for (auto kind :
       {sim::FaultKind::Transport, sim::FaultKind::CheckCondition, sim::FaultKind::Vanish}) {
    for (int n = 1; n <= kCommands; n++) {
      SCOPED_TRACE(std::string(Name(kind)) + " at command " + std::to_string(n));
      SetUp();
      sim::Drive &drive = sim::AddVx72m('E', "PR03");
      drive.longWriteMs = 1500;
      sim::Fault fault;
      fault.commandNumber = n;
      fault.kind = kind;
      fault.error = ERROR_IO_DEVICE;
      fault.sense = sim::Sense(0x05, 0x24, 0x00);
      drive.faults.push_back(fault);

      auto run = Run();
      EXPECT_EQ(0, run.status);
      EXPECT_TRUE(sim::TempFolderEntries().empty());
      EXPECT_FALSE(drive.mcnDisabled);
      const std::string &out = run.out;
      SCOPED_TRACE("output: " + out);
      auto endsWith = [&](const std::string &tail) {
        return out.size() >= tail.size() &&
               out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
      };
      switch (Expected(n, kind)) {
      case Outcome::NoTarget:
        EXPECT_TRUE(run.ended);
        EXPECT_TRUE(endsWith(Report(MSG_NO_UPDATE_NEEDED)));
        EXPECT_EQ(std::string::npos, out.find("Tervalune"));
        break;
      case Outcome::Silent:
        EXPECT_TRUE(sim::CallsTo("_getch").empty());
        EXPECT_EQ(std::string::npos, out.find(MSG_PRESS_ANY_KEY));
        break;
      case Outcome::Disc:
        EXPECT_TRUE(endsWith(Report(MSG_DISC_INSERTED)));
        EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty());
        break;
      case Outcome::Failed:
        EXPECT_TRUE(endsWith(Report(MSG_UPDATE_FAILED)));
        // A drive gone during its long write may have its new firmware or
        // not: the updater cannot tell and says the update failed.
        if (n <= kCommit) {
          EXPECT_FALSE(drive.updated);
        }
        break;
      case Outcome::Complete:
        EXPECT_NE(std::string::npos, out.find(MSG_UPDATE_COMPLETE));
        EXPECT_TRUE(endsWith(std::string(MSG_PRESS_ANY_KEY) + "\n"));
        EXPECT_TRUE(drive.updated);
        break;
      }
      // A refusal that ends the update is the last command the drive sees.
      Outcome outcome = Expected(n, kind);
      if (kind != sim::FaultKind::Vanish &&
          (outcome == Outcome::Disc || outcome == Outcome::Failed || outcome == Outcome::Silent)) {
        EXPECT_EQ((size_t)n, drive.commands.size());
      }
      if (n >= kFirstDownload && n <= kCommit) {
        EXPECT_FALSE(sim::CtrlHandlerInstalled());
      }
    }
  }
}

} // namespace
