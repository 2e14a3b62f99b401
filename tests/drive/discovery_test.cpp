// Finding the optical drives and the target among them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/drive/drive_fixture.h"
#include "updater/drive/discovery.h"
#include "updater/drive/transport.h"
#include "updater/messages.h"

namespace {

int g_endCalls = 0;
int g_endStatus = -1;

void RecordEnd(int exitStatus) {
  g_endCalls++;
  g_endStatus = exitStatus;
}

const std::string kTarget = Identification("KORVANEX", "BD-RE VX72M", "PR03");
const std::string kOther = Identification("OTHERCO", "DVD-RW X1", "1.00");

// What the user sees when no drive needs the update.
std::string NoUpdateLines() {
  return std::string(MSG_NO_UPDATE_NEEDED) + "\n" + MSG_PRESS_ANY_KEY + "\n";
}

class Discovery : public DriveTest {
protected:
  void SetUp() override {
    DriveTest::SetUp();
    g_endCalls = 0;
    g_endStatus = -1;
    g_EndProcess = RecordEnd;
  }
};

TEST_F(Discovery, OnlyCdromLettersGetAnIndexInLetterOrder) {
  sim::SetDriveType('A', DRIVE_REMOVABLE);
  sim::AddDrive('Q', kOther);
  sim::AddDrive('E', kOther);
  sim::SetDriveType('F', DRIVE_REMOTE);
  sim::SetDriveType('G', DRIVE_RAMDISK);
  sim::AddDrive('Z', kOther);
  EXPECT_EQ(EnumOpticalDrives(), 3);
  EXPECT_EQ(std::string(g_DriveLetters, 3), "EQZ");
  for (int i = 3; i < kMaxOpticalDrives; i++) {
    EXPECT_EQ(g_DriveLetters[i], 0) << i;
  }

  std::vector<sim::Call> typeTests = sim::CallsTo("GetDriveTypeW");
  ASSERT_EQ(typeTests.size(), 26u);
  EXPECT_EQ(typeTests[0].text, "A:\\");
  EXPECT_EQ(typeTests[25].text, "Z:\\");
}

TEST_F(Discovery, EnumerationStartsFromAnEmptyTable) {
  sim::AddDrive('D', kOther);
  sim::AddDrive('E', kOther);
  ASSERT_EQ(EnumOpticalDrives(), 2);
  sim::SetDriveType('E', DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(EnumOpticalDrives(), 1);
  EXPECT_EQ(g_DriveLetters[0], 'D');
  EXPECT_EQ(g_DriveLetters[1], 0);
}

TEST_F(Discovery, IdentificationRequestIsTheShortInquiry) {
  sim::AddVx72m('D');
  ASSERT_EQ(EnumOpticalDrives(), 1);
  sim::ClearCalls();
  char name[40];
  std::memset(name, 'x', sizeof(name));
  GetDeviceName(0, name);
  EXPECT_EQ(std::string(name), kTarget);
  EXPECT_EQ(name[29], 'x');

  std::vector<sim::Call> requests = PassThroughCalls();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].args[2], sizeof(PassThroughRequest));
  EXPECT_EQ(requests[0].args[3], sizeof(PassThroughRequest));
  PassThroughRequest request = RequestOf(requests[0]);
  EXPECT_EQ(request.header.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(request.header.PathId + request.header.TargetId + request.header.Lun, 0);
  EXPECT_EQ(request.header.CdbLength, 6);
  EXPECT_EQ(request.header.SenseInfoLength, 24);
  EXPECT_EQ(request.header.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(request.header.DataTransferLength, 192u);
  EXPECT_EQ(request.header.TimeOutValue, 2u);
  EXPECT_NE(request.header.DataBuffer, nullptr);
  EXPECT_EQ(request.header.SenseInfoOffset, offsetof(PassThroughRequest, senseArea));
  EXPECT_EQ(Bytes(request.header.Cdb, 16),
            (std::vector<uint8_t>{0x12, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(request.senseArea, 32), std::vector<uint8_t>(32, 0));
}

TEST_F(Discovery, IdentificationReadLeavesTheSenseDataAlone) {
  sim::Drive &drive = sim::AddVx72m('D');
  drive.hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.status = 0x02;
    std::array<uint8_t, 18> sense = sim::Sense(0x05, 0x24, 0x00);
    answer.sense.assign(sense.begin(), sense.end());
    return true;
  };
  ASSERT_EQ(EnumOpticalDrives(), 1);
  std::memset(g_SenseData, 0x77, sizeof(g_SenseData));
  char name[40];
  std::memset(name, 'x', sizeof(name));
  GetDeviceName(0, name);
  EXPECT_EQ(Bytes(name, 6), (std::vector<uint8_t>{0, 0, 0, 0, 'x', 'x'}));
  EXPECT_EQ(sim::DebugOutput(), L"\n GetDeviceName: Command complete with error\n");
  EXPECT_EQ(Bytes(g_SenseData, 24), std::vector<uint8_t>(24, 0x77));
}

struct SearchCase {
  const char *name;
  std::vector<std::string> identifications; // drives at D, E, F, ...
  int target;                               // -1: none
  size_t queried;                           // drives that received an INQUIRY
};

TEST_F(Discovery, SearchTakesTheFirstIdentificationHoldingTheIdentity) {
  const std::string zeroFirst = std::string(1, '\0') + "KORVANEXBD-RE VX72M" + "    PR03";
  const SearchCase cases[] = {
      {"no optical drive", {}, -1, 0},
      {"one target", {kTarget}, 0, 1},
      {"target after another drive", {kOther, kTarget}, 1, 2},
      {"two matching drives: the lower letter, the other never queried",
       {kTarget, Identification("KORVANEX", "BD-RE VX72M", "PR01")},
       0,
       1},
      {"vendor in small letters", {Identification("korvanex", "BD-RE VX72M", "PR03")}, -1, 1},
      {"product in small letters", {Identification("KORVANEX", "bd-re vx72m", "PR03")}, -1, 1},
      {"product goes on, any revision",
       {Identification("KORVANEX", "BD-RE VX72M-SLIM", "zz99")},
       0,
       1},
      {"other product of the vendor", {Identification("KORVANEX", "BD-RE VX72", "PR03")}, -1, 1},
      {"identity at another position", {"  KORVANEXBD-RE VX72M   PR03"}, 0, 1},
      {"zero byte before the identity", {zeroFirst}, -1, 1},
  };
  for (const SearchCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    ResetDriveState();
    g_EndProcess = RecordEnd;
    g_endCalls = 0;
    char letter = 'D';
    for (const std::string &identification : c.identifications) {
      ASSERT_EQ(identification.size(), 28u);
      sim::AddDrive(letter++, identification);
    }
    FindTargetDrive();

    EXPECT_EQ(g_TargetDrive, c.target);
    size_t queried = 0;
    for (char l = 'D'; l < letter; l++) {
      queried += sim::DriveAt(l)->commands.empty() ? 0 : 1;
    }
    EXPECT_EQ(queried, c.queried);
    if (c.target < 0) {
      EXPECT_EQ(sim::Stdout(), NoUpdateLines());
      EXPECT_EQ(sim::CallsTo("_getch").size(), 1u);
      EXPECT_EQ(g_endCalls, 1);
      EXPECT_EQ(g_endStatus, 0);
    } else {
      EXPECT_EQ(sim::Stdout(), "");
      EXPECT_TRUE(sim::CallsTo("_getch").empty());
      EXPECT_EQ(g_endCalls, 0);
      // The target's handle stays open for the update's commands.
      EXPECT_EQ(g_DeviceDrive, c.target);
    }
  }
}

TEST_F(Discovery, NoOpticalDriveShowsOnlyTheTwoLinesAndTouchesNoDevice) {
  sim::SetDriveType('D', DRIVE_FIXED);
  FindTargetDrive();
  EXPECT_EQ(sim::Stdout(), NoUpdateLines());
  EXPECT_TRUE(sim::CallsTo("CreateFileW").empty());
  EXPECT_TRUE(sim::CallsTo("DeviceIoControl").empty());
  EXPECT_EQ(g_endCalls, 1);
  EXPECT_EQ(g_endStatus, 0);
}

TEST_F(Discovery, DriveOfAnotherTypeIsNeverQueried) {
  sim::AddVx72m('D');
  sim::SetDriveType('D', DRIVE_REMOVABLE);
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, -1);
  EXPECT_TRUE(sim::DriveAt('D')->commands.empty());
  EXPECT_EQ(g_endCalls, 1);
}

// Every optical letter gets its own index: the table has one entry per letter.
TEST_F(Discovery, MoreThanEightDrivesTargetAmongTheLaterOnes) {
  for (char letter = 'D'; letter <= 'N'; letter++) {
    sim::AddDrive(letter, kOther);
  }
  sim::AddVx72m('P');
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, 11);
  EXPECT_EQ(g_DriveLetters[11], 'P');
  EXPECT_EQ(g_DriveLetters[12], 0);
  EXPECT_EQ(g_endCalls, 0);
  EXPECT_EQ(sim::DriveAt('P')->commands.size(), 1u);
}

TEST_F(Discovery, EveryLetterOpticalFillsTheWholeTable) {
  for (char letter = 'A'; letter <= 'Y'; letter++) {
    sim::AddDrive(letter, kOther);
  }
  sim::AddVx72m('Z');
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, 25);
  EXPECT_EQ(std::string(g_DriveLetters, kMaxOpticalDrives), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

TEST_F(Discovery, LetterNoLongerOpticalWhenOpenedIsSkipped) {
  sim::AddVx72m('D');
  sim::AddVx72m('E');
  // The last letter of the enumeration has been looked at: D stops being an
  // optical drive before its device is opened.
  sim::OnCall([](const sim::Call &call) {
    if (call.fn == "GetDriveTypeW" && call.text == "Z:\\") {
      sim::SetDriveType('D', DRIVE_NO_ROOT_DIR);
    }
  });
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, 1);
  EXPECT_EQ(sim::DebugOutput(), L"\n ExecATAPICommand: This Drive is not Optical Device Drive\n");
  EXPECT_EQ(sim::Stdout(), "");
  EXPECT_TRUE(sim::DriveAt('D')->commands.empty());
}

TEST_F(Discovery, RefusedInquiryIsSkipped) {
  sim::Drive &first = sim::AddVx72m('D');
  first.hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.status = 0x02;
    return true;
  };
  sim::AddVx72m('E');
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, 1);
  EXPECT_EQ(sim::DebugOutput(), L"\n GetDeviceName: Command complete with error\n");
}

TEST_F(Discovery, NoDriveCanBeOpenedOneErrorLinePerDriveThenTheMessage) {
  for (char letter : std::string("DEF")) {
    sim::AddVx72m(letter).openError = ERROR_ACCESS_DENIED;
  }
  FindTargetDrive();
  std::string errorLine = "Error : Error occur during getting the handle of Device\nError Code 5";
  EXPECT_EQ(sim::Stdout(), errorLine + errorLine + errorLine + NoUpdateLines());
  EXPECT_EQ(g_TargetDrive, -1);
  EXPECT_EQ(g_endCalls, 1);
  EXPECT_EQ(g_endStatus, 0);
}

TEST_F(Discovery, RequestFailureIsReportedAndTheSearchGoesOn) {
  sim::Drive &first = sim::AddVx72m('D');
  first.hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.transportFailure = true;
    answer.error = ERROR_IO_DEVICE;
    return true;
  };
  sim::AddVx72m('E');
  FindTargetDrive();
  EXPECT_EQ(g_TargetDrive, 1);
  EXPECT_EQ(sim::Stdout(),
            "Error : DeviceIoControl Error: Error Code 1117\nI can't issue Command through SPTI");
}

} // namespace
