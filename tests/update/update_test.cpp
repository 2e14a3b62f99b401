// The update procedure and the run order, end to end on the simulated machine:
// every outcome as the console shows it, byte for byte, and what reached the
// drive.
#include <string.h>

#include "tests/update/update_fixture.h"
#include "updater/package/package.h"

using update_test::Identification;
using update_test::UpdaterRun;

namespace {

// A TEST UNIT READY hook that answers with the given sense data once the drive
// has committed a download, then GOOD.
struct PollScript {
  std::vector<std::vector<uint8_t>> answers; // sense data; empty = GOOD
  size_t next = 0;
};

std::vector<uint8_t> SenseBytes(uint8_t byte2, uint8_t asc, uint8_t ascq, uint32_t info = 0) {
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0x70;
  sense[2] = byte2;
  sense[3] = (uint8_t)(info >> 24);
  sense[4] = (uint8_t)(info >> 16);
  sense[5] = (uint8_t)(info >> 8);
  sense[6] = (uint8_t)info;
  sense[7] = 10;
  sense[12] = asc;
  sense[13] = ascq;
  return sense;
}

// The text a successful run shows, with the progress lines it wrote.
std::string SuccessTranscript(const char *from, const std::string &progress) {
  return "Tervalune FW Updater for VX72M (PR05)\n\nTarget Drive : " + Identification(from) +
         "\n\n" + progress + "FW Updating : 100 %\n\n" + MSG_UPDATE_COMPLETE +
         "\n\nAfter FW Updating : " + Identification("PR05") + "\n\n" + MSG_PRESS_ANY_KEY + "\n";
}

TEST_F(UpdaterRun, UpdatesADriveAtEachReplaceableRevision) {
  for (const char *revision : {"PR01", "PR02", "PR03", "PR04"}) {
    SCOPED_TRACE(revision);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', revision);
    drive.longWriteMs = 1500;
    sim::QueueKeys("x");
    auto run = Run();
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(SuccessTranscript(revision, "FW Updating : 0 %\rFW Updating : 33 %\r"
                                          "FW Updating : 66 %\r"),
              run.out);
    EXPECT_TRUE(drive.updated);
    EXPECT_EQ(1u, sim::CallsTo("_getch").size());
    EXPECT_FALSE(drive.mcnDisabled);
    EXPECT_EQ(2, drive.mcnRequests);
    EXPECT_TRUE(sim::TempFolderEntries().empty());
  }
}

TEST_F(UpdaterRun, SendsTheImageInOrderAndNeverTheTrailer) {
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  drive.longWriteMs = 500;
  Run();
  std::vector<const sim::ScsiCommand *> pieces;
  for (const auto &c : drive.commands)
    if (c.cdb[0] == 0x3B && c.cdb[1] == 0x06)
      pieces.push_back(&c);
  ASSERT_EQ(128u, pieces.size());
  const unsigned char *package = LinkedPackage();
  for (uint32_t k = 0; k < 128; k++) {
    const sim::ScsiCommand &c = *pieces[k];
    uint32_t offset = k * 0x4000;
    std::vector<uint8_t> cdb = {0x3B,
                                0x06,
                                0x00,
                                (uint8_t)(offset >> 16),
                                (uint8_t)(offset >> 8),
                                (uint8_t)offset,
                                0x00,
                                0x40,
                                0x00,
                                0x00,
                                0x00,
                                0x00};
    EXPECT_EQ(cdb, c.cdb) << "piece " << k;
    EXPECT_EQ(0x4000u, c.length);
    ASSERT_EQ(0x4000u, c.data.size());
    EXPECT_EQ(0, memcmp(c.data.data(), package + 4 + offset, 0x4000)) << "piece " << k;
  }
  // The first piece carries package bytes 4 to 16,387 and the last ends where
  // the signature trailer begins.
  EXPECT_EQ(0, memcmp(pieces[0]->data.data(), package + 4, 16384));
  EXPECT_EQ(std::vector<uint8_t>(package + 4, package + 4 + 0x200000), drive.received);
}

const char kZeroTag[5] = {0, 0, 0, 0, 0};

// Every gate that refuses, with what the console shows and the drive receives.
struct GateCase {
  const char *name;
  const char *revision;
  sim::Media media;
  const char *message;      // nullptr: silent return
  std::vector<int> opcodes; // the commands the drive receives, in order
};

TEST_F(UpdaterRun, GatesRefuseBeforeAnythingIsWritten) {
  const std::vector<GateCase> cases = {
      {"latest", "PR05", sim::Media::NoDisc, MSG_ALREADY_LATEST, {0x12, 0x12, 0x3C}},
      {"latest with a disc in", "PR05", sim::Media::Ready, MSG_ALREADY_LATEST, {0x12, 0x12, 0x3C}},
      {"newer tag", "PR06", sim::Media::NoDisc, MSG_NO_UPDATE_NEEDED, {0x12, 0x12, 0x3C}},
      {"small letters", "pr01", sim::Media::NoDisc, MSG_NO_UPDATE_NEEDED, {0x12, 0x12, 0x3C}},
      {"zero bytes", kZeroTag, sim::Media::NoDisc, MSG_NO_UPDATE_NEEDED, {0x12, 0x12, 0x3C}},
      {"disc ready", "PR02", sim::Media::Ready, MSG_DISC_INSERTED, {0x12, 0x12, 0x3C, 0x00}},
      {"becoming ready",
       "PR02",
       sim::Media::BecomingReady,
       MSG_DISC_INSERTED,
       {0x12, 0x12, 0x3C, 0x00}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    memcpy(drive.firmware.data() + sim::kRevisionBlockOffset + 24, c.revision, 4);
    drive.identification = Identification("PR03");
    drive.media = c.media;
    auto run = Run();
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(Header("PR03") + Report(c.message), run.out);
    EXPECT_EQ(c.opcodes, Opcodes(drive));
    EXPECT_TRUE(sim::CallsTo("CreateDirectoryW").empty()); // nothing staged
    EXPECT_EQ(1u, sim::CallsTo("_getch").size());
    EXPECT_FALSE(drive.mcnDisabled);
  }
}

TEST_F(UpdaterRun, NoDiscGateComparesTheWholeSenseKeyByte) {
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  drive.hook = [](const sim::ScsiCommand &c, sim::ScsiAnswer &a) {
    if (c.cdb[0] != 0x00)
      return false;
    a.status = 0x02;
    a.sense = SenseBytes(0x22, 0x3A, 0x00); // NOT READY with a flag bit set
    return true;
  };
  auto run = Run();
  EXPECT_EQ(Header("PR03") + Report(MSG_DISC_INSERTED), run.out);
  // The message's two sentences are apart by a line feed: three lines in all.
  EXPECT_NE(std::string::npos, std::string(MSG_DISC_INSERTED).find('\n'));
}

TEST_F(UpdaterRun, FailedRevisionReadReturnsSilentlyAndSwitchesNotificationBackOn) {
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  sim::Fault fault;
  fault.opcode = 0x3C;
  fault.kind = sim::FaultKind::CheckCondition;
  fault.sense = sim::Sense(0x05, 0x24, 0x00);
  drive.faults.push_back(fault);
  auto run = Run();
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(Header("PR03"), run.out);
  EXPECT_TRUE(sim::CallsTo("_getch").empty());
  EXPECT_FALSE(drive.mcnDisabled);
  EXPECT_EQ(2, drive.mcnRequests);
}

TEST_F(UpdaterRun, NoTargetDriveEndsBeforeTheBannerAndTheNotificationControl) {
  struct Case {
    const char *name;
    std::function<void()> machine;
  };
  const std::vector<Case> cases = {
      {"no optical drive", [] {}},
      {"another maker", [] { sim::AddDrive('E', "OTHERCO BD-RW  XR-2000     1.02"); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.machine();
    auto run = Run();
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(Report(MSG_NO_UPDATE_NEEDED), run.out);
    for (const auto &call : sim::CallsTo("DeviceIoControl"))
      EXPECT_NE((uint64_t)IOCTL_STORAGE_MCN_CONTROL, call.args[1]);
  }
}

TEST_F(UpdaterRun, ArgumentsChangeNothing) {
  sim::AddVx72m('E', "PR05");
  auto plain = Run();
  SetUp();
  sim::AddVx72m('E', "PR05");
  auto withArgs = Run({L"/force", L"E:", L"--revision=PR01"});
  EXPECT_EQ(plain.out, withArgs.out);
  EXPECT_EQ(plain.status, withArgs.status);
}

TEST_F(UpdaterRun, PackageOfAnyOtherSizeIsRefusedBeforeStaging) {
  std::vector<unsigned char> shorter(LinkedPackage(), LinkedPackage() + PACKAGE_SIZE - 1);
  std::vector<unsigned char> longer(LinkedPackage(), LinkedPackage() + PACKAGE_SIZE);
  longer.push_back(0);
  for (auto *package : {&shorter, &longer}) {
    SCOPED_TRACE(package->size());
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    sim::SetResource(PACKAGE_RESOURCE_ID, package->data(), package->size());
    auto run = Run();
    EXPECT_EQ(Header("PR03") + Report(MSG_LOAD_FAILED), run.out);
    EXPECT_TRUE(sim::CallsTo("GetTempPathW").empty());
    EXPECT_TRUE(sim::CallsTo("CreateFileW").size() <= 2u); // the two device opens only
    EXPECT_EQ((std::vector<int>{0x12, 0x12, 0x3C, 0x00}), Opcodes(drive));
  }
  SetUp();
  sim::AddVx72m('E', "PR03");
  sim::RemoveResource(PACKAGE_RESOURCE_ID);
  EXPECT_EQ(Header("PR03") + Report(MSG_LOAD_FAILED), Run().out);
}

TEST_F(UpdaterRun, RefusedPackageLeavesTheDriveWithNoCommandBeyondTheGates) {
  std::vector<unsigned char> tampered(LinkedPackage(), LinkedPackage() + PACKAGE_SIZE);
  tampered[4 + 0x1EC000 + 27] = '6'; // the image no longer matches its signature
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  sim::SetResource(PACKAGE_RESOURCE_ID, tampered.data(), tampered.size());
  auto run = Run();
  // The verifier refuses silently: only the exit status tells.
  EXPECT_EQ(Header("PR03") + Report(MSG_LOAD_FAILED), run.out);
  EXPECT_EQ((std::vector<int>{0x12, 0x12, 0x3C, 0x00}), Opcodes(drive));
  EXPECT_EQ(1u, sim::CallsTo("CreateProcessW").size());
  EXPECT_TRUE(sim::TempFolderEntries().empty());
}

#ifndef _WIN32
TEST_F(UpdaterRun, VerifierExitingWithOneRefusesThePackage) {
  const char script[] = "#!/bin/sh\nexit 1\n";
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  sim::SetResource(VERIFIER_RESOURCE_ID, script, sizeof(script) - 1);
  auto run = Run();
  EXPECT_EQ(Header("PR03") + Report(MSG_LOAD_FAILED), run.out);
  EXPECT_EQ((std::vector<int>{0x12, 0x12, 0x3C, 0x00}), Opcodes(drive));
  EXPECT_TRUE(sim::TempFolderEntries().empty());
}
#endif

TEST_F(UpdaterRun, ProgressIsTheValueOverThePackageSizeKeptToEightBits) {
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  std::vector<uint32_t> values = {2097152, 2097229, 3 * 2097229, 0};
  size_t next = 0;
  drive.hook = [&](const sim::ScsiCommand &c, sim::ScsiAnswer &a) {
    if (!drive.committed || c.cdb[0] != 0x00)
      return false;
    if (next < values.size()) {
      a.status = 0x02;
      a.sense = SenseBytes(0x02, 0x04, 0x08, values[next++]);
    }
    return true; // GOOD once the values are used up
  };
  auto run = Run();
  EXPECT_NE(std::string::npos,
            run.out.find("FW Updating : 99 %\rFW Updating : 100 %\rFW Updating : 44 %\r"
                         "FW Updating : 0 %\rFW Updating : 100 %\n\n"))
      << run.out;
}

TEST_F(UpdaterRun, ResetUnitAttentionAndGoodCompleteAlike) {
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR04");
    drive.longWriteMs = 1000;
    drive.resetAfterLongWrite = reset;
    EXPECT_EQ(SuccessTranscript("PR04", "FW Updating : 0 %\rFW Updating : 50 %\r"), Run().out);
  }
}

// The poll pauses between every two polls, ends at its bound, and a drive
// that falls silent ends it early with at most one line per pause.
TEST_F(UpdaterRun, PollPausesBetweenPollsAndIsBounded) {
  struct Case {
    const char *name;
    std::function<void(sim::Drive &)> drive;
    size_t polls; // TEST UNIT READY commands after the commit
  };
  const std::vector<Case> cases = {
      {"never finishes", [](sim::Drive &d) { d.longWriteNeverEnds = true; }, 1200},
      {"unexpected status",
       [](sim::Drive &d) {
         d.hook = [&d](const sim::ScsiCommand &c, sim::ScsiAnswer &a) {
           if (!d.committed || c.cdb[0] != 0x00)
             return false;
           a.status = 0x02;
           a.sense = SenseBytes(0x05, 0x24, 0x00);
           return true;
         };
       },
       1200},
      {"transport failures",
       [](sim::Drive &d) {
         d.hook = [&d](const sim::ScsiCommand &c, sim::ScsiAnswer &a) {
           if (!d.committed || c.cdb[0] != 0x00)
             return false;
           a.transportFailure = true;
           a.error = ERROR_IO_DEVICE;
           return true;
         };
       },
       10},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    c.drive(drive);
    auto run = Run();
    EXPECT_EQ(0, run.status);
    const std::string ending = std::string("\nThe drive did not report the end of the update.\n") +
                               MSG_UPDATE_FAILED + "\n" + MSG_PRESS_ANY_KEY + "\n";
    ASSERT_GE(run.out.size(), ending.size());
    EXPECT_EQ(ending, run.out.substr(run.out.size() - ending.size()));
    // After the commit: polls, each but the last followed by a pause.
    std::vector<std::string> after;
    bool committed = false;
    for (const auto &call : sim::Calls()) {
      if (call.fn == "DeviceIoControl" && call.data.size() > 0) {
        const auto *r = (const PassThroughRequest *)call.data.data();
        if (call.args[1] == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
          if (r->header.Cdb[0] == 0x3B && r->header.Cdb[1] == 0x07)
            committed = true;
          else if (committed)
            after.push_back("TUR");
        }
      } else if (call.fn == "Sleep" && committed) {
        EXPECT_EQ(500u, call.args[0]);
        after.push_back("pause");
      }
    }
    ASSERT_EQ(2 * c.polls - 1, after.size());
    for (size_t i = 0; i < after.size(); i++)
      EXPECT_EQ(i % 2 ? "pause" : "TUR", after[i]);
    size_t errorLines = 0;
    for (size_t at = run.out.find("Error : "); at != std::string::npos;
         at = run.out.find("Error : ", at + 1))
      errorLines++;
    EXPECT_EQ(c.name == std::string("transport failures") ? c.polls : 0u, errorLines);
  }
}

TEST_F(UpdaterRun, InterruptsAreIgnoredAndSleepHeldOffOnlyDuringTheDownload) {
  for (bool startFails : {false, true}) {
    SCOPED_TRACE(startFails);
    SetUp();
    sim::Drive &drive = sim::AddVx72m('E', "PR03");
    drive.longWriteMs = 500;
    if (startFails) {
      sim::Fault fault;
      fault.opcode = 0x3B;
      fault.occurrence = 1;
      fault.kind = sim::FaultKind::CheckCondition;
      fault.sense = sim::Sense(0x05, 0x24, 0x00);
      drive.faults.push_back(fault);
    }
    bool protectedAtEveryWrite = true;
    int writes = 0;
    sim::OnCall([&](const sim::Call &call) {
      if (call.fn != "DeviceIoControl" || call.data.empty() ||
          call.args[1] != IOCTL_SCSI_PASS_THROUGH_DIRECT)
        return;
      const auto *r = (const PassThroughRequest *)call.data.data();
      if (r->header.Cdb[0] != 0x3B)
        return;
      writes++;
      protectedAtEveryWrite = protectedAtEveryWrite && sim::CtrlHandlerInstalled() &&
                              (sim::ExecutionState() & ES_SYSTEM_REQUIRED) != 0;
    });
    EXPECT_FALSE(sim::CtrlHandlerInstalled());
    Run();
    EXPECT_GT(writes, 0);
    EXPECT_TRUE(protectedAtEveryWrite);
    EXPECT_FALSE(sim::CtrlHandlerInstalled());
    EXPECT_EQ(0u, sim::ExecutionState() & ES_SYSTEM_REQUIRED);
  }
}

} // namespace
