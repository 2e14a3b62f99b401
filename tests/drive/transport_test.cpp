// The pass-through transport: the request record, the device cache, the
// sense data and the error lines.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/drive/drive_fixture.h"
#include "updater/drive/discovery.h"
#include "updater/drive/transport.h"

namespace {

const BYTE kTestUnitReady[12] = {0x00};
const BYTE kInquiry[12] = {0x12, 0, 0, 0, 0xFF, 0};
const BYTE kWriteBuffer[12] = {0x3B, 0x06, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0};

// DeviceIoControl fails with `error` for the n-th TEST UNIT READY (0: every one).
sim::Fault TestUnitReadyFails(DWORD error, int occurrence) {
  sim::Fault fault;
  fault.opcode = 0x00;
  fault.occurrence = occurrence;
  fault.kind = sim::FaultKind::Transport;
  fault.error = error;
  return fault;
}

std::vector<uint8_t> SenseBytes(uint8_t key, uint8_t asc, uint8_t ascq, uint32_t information) {
  std::array<uint8_t, 18> sense = sim::Sense(key, asc, ascq, information);
  return std::vector<uint8_t>(sense.begin(), sense.end());
}

// Two ready VX72M drives at D and E, indexes 0 and 1.
class Transport : public DriveTest {
protected:
  void SetUp() override {
    DriveTest::SetUp();
    sim::AddVx72m('D').media = sim::Media::Ready;
    sim::AddVx72m('E').media = sim::Media::Ready;
    ASSERT_EQ(EnumOpticalDrives(), 2);
    sim::ClearCalls();
  }
};

TEST_F(Transport, RequestRecordCarriesTheCommandAsGiven) {
  BYTE buffer[255];
  std::memset(buffer, 0x5A, sizeof(buffer));
  IssueCommand(1, kInquiry, buffer, 255, 1, 5);

  std::vector<sim::Call> requests = PassThroughCalls();
  ASSERT_EQ(requests.size(), 1u);
  const sim::Call &call = requests[0];
  EXPECT_EQ(call.args[0], sim::HandleNumber(g_hDevice));
  EXPECT_EQ(call.args[2], sizeof(PassThroughRequest)); // in
  EXPECT_EQ(call.args[3], sizeof(PassThroughRequest)); // out
  EXPECT_EQ(call.args[4], 1u);                         // a byte count variable
  EXPECT_EQ(call.args[5], 0u);                         // no overlapped structure
  ASSERT_EQ(call.data.size(), sizeof(PassThroughRequest));

  PassThroughRequest request = RequestOf(call);
  EXPECT_EQ(request.header.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(request.header.ScsiStatus, 0);
  EXPECT_EQ(request.header.PathId, 0);
  EXPECT_EQ(request.header.TargetId, 0);
  EXPECT_EQ(request.header.Lun, 0);
  EXPECT_EQ(request.header.CdbLength, 12);
  EXPECT_EQ(request.header.SenseInfoLength, 24);
  EXPECT_EQ(request.header.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(request.header.DataTransferLength, 255u);
  EXPECT_EQ(request.header.TimeOutValue, 5u);
  EXPECT_EQ(request.header.DataBuffer, (void *)buffer);
  EXPECT_EQ(request.header.SenseInfoOffset, offsetof(PassThroughRequest, senseArea));
  EXPECT_EQ(Bytes(request.header.Cdb, 16),
            (std::vector<uint8_t>{0x12, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(request.filler, 0u);
  EXPECT_EQ(Bytes(request.senseArea, 32), std::vector<uint8_t>(32, 0));

  // The command went to index 1, drive E.
  EXPECT_TRUE(sim::DriveAt('D')->commands.empty());
  EXPECT_EQ(sim::DriveAt('E')->commands.size(), 1u);
  EXPECT_EQ(sim::CallsTo("CreateFileW")[0].text, "\\\\.\\E:");
}

TEST_F(Transport, OpenAsksForReadWriteSharedExistingDevice) {
  IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5);
  std::vector<sim::Call> typeTests = sim::CallsTo("GetDriveTypeW");
  ASSERT_EQ(typeTests.size(), 1u);
  EXPECT_EQ(typeTests[0].text, "D:\\");
  std::vector<sim::Call> opens = sim::CallsTo("CreateFileW");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].text, "\\\\.\\D:");
  EXPECT_EQ(opens[0].args,
            (std::vector<uint64_t>{GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0,
                                   sim::HandleNumber(g_hDevice)}));
}

TEST_F(Transport, DataInWithoutLengthSendsNoBufferAndLeavesItAlone) {
  BYTE buffer[16];
  std::memset(buffer, 0x5A, sizeof(buffer));
  EXPECT_TRUE(IssueCommand(0, kTestUnitReady, buffer, 0, 1, 5));
  PassThroughRequest request = RequestOf(PassThroughCalls().at(0));
  EXPECT_EQ(request.header.DataBuffer, nullptr);
  EXPECT_EQ(request.header.DataTransferLength, 0u);
  EXPECT_EQ(request.header.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(Bytes(buffer, 16), std::vector<uint8_t>(16, 0x5A));
}

TEST_F(Transport, EveryDirectionButOneIsDataOut) {
  const BYTE directions[] = {0, 2, 3, 0xFF};
  BYTE data[16] = {};
  for (BYTE direction : directions) {
    sim::ClearCalls();
    IssueCommand(0, kWriteBuffer, data, sizeof(data), direction, 60);
    PassThroughRequest request = RequestOf(PassThroughCalls().at(0));
    EXPECT_EQ(request.header.DataIn, SCSI_IOCTL_DATA_OUT) << int(direction);
    EXPECT_EQ(request.header.DataBuffer, (void *)data) << int(direction);
  }
}

TEST_F(Transport, DataInThatNeverReachesTheDriveLeavesItsLengthZeroed) {
  sim::DriveAt('D')->openError = ERROR_ACCESS_DENIED;
  BYTE buffer[300];
  std::memset(buffer, 0x5A, sizeof(buffer));
  EXPECT_FALSE(IssueCommand(0, kInquiry, buffer, 255, 1, 5));
  EXPECT_EQ(Bytes(buffer, 255), std::vector<uint8_t>(255, 0));
  EXPECT_EQ(Bytes(buffer + 255, 45), std::vector<uint8_t>(45, 0x5A));
}

// The device cache: one open per drive, reopened at every change of drive.
enum class Second { Works, NotOptical, OpenFails, RequestFails };

struct CacheCase {
  const char *name;
  bool primed;   // a command to drive 0 (D) went first and opened it
  BYTE drive;    // the drive of the command under test
  Second second; // what happens to that drive
  bool result;   // ExecATAPICommand's result
  size_t typeTests, opens, closes;
  BYTE cachedDrive; // g_DeviceDrive afterwards
  bool handle;      // a handle cached afterwards
};

const CacheCase kCacheCases[] = {
    {"empty, opens", false, 0, Second::Works, true, 1, 1, 0, 0, true},
    {"empty, not optical", false, 0, Second::NotOptical, false, 1, 0, 0, 0xFF, false},
    {"empty, open fails", false, 0, Second::OpenFails, false, 1, 1, 0, 0xFF, false},
    {"open, same drive", true, 0, Second::Works, true, 0, 0, 0, 0, true},
    {"open, other drive opens", true, 1, Second::Works, true, 1, 1, 1, 1, true},
    {"open, other drive not optical", true, 1, Second::NotOptical, false, 1, 0, 1, 0xFF, false},
    {"open, other drive open fails", true, 1, Second::OpenFails, false, 1, 1, 1, 0xFF, false},
    {"open, request fails", true, 0, Second::RequestFails, false, 0, 0, 0, 0, true},
    {"empty, request fails", false, 1, Second::RequestFails, false, 1, 1, 0, 1, true},
};

TEST_F(Transport, DeviceCacheTransitions) {
  for (const CacheCase &c : kCacheCases) {
    SCOPED_TRACE(c.name);
    ResetDriveState();
    sim::Reset();
    sim::AddVx72m('D').media = sim::Media::Ready;
    sim::AddVx72m('E').media = sim::Media::Ready;
    ASSERT_EQ(EnumOpticalDrives(), 2);
    if (c.primed) {
      ASSERT_TRUE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
    }
    HANDLE before = g_hDevice;
    char letter = g_DriveLetters[c.drive];
    sim::Drive *drive = sim::DriveAt(letter);
    switch (c.second) {
    case Second::Works:
      break;
    case Second::NotOptical:
      sim::SetDriveType(letter, DRIVE_FIXED);
      break;
    case Second::OpenFails:
      drive->openError = ERROR_ACCESS_DENIED;
      break;
    case Second::RequestFails:
      drive->faults.push_back(TestUnitReadyFails(ERROR_IO_DEVICE, 0));
      break;
    }
    sim::ClearCalls();

    PassThroughRequest sptwb;
    std::memset(&sptwb, 0, sizeof(sptwb));
    sptwb.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    sptwb.header.CdbLength = 12;
    sptwb.header.SenseInfoLength = 24;
    sptwb.header.DataIn = SCSI_IOCTL_DATA_IN;
    sptwb.header.TimeOutValue = 5;
    sptwb.header.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
    EXPECT_EQ(ExecATAPICommand(c.drive, &sptwb), c.result);

    EXPECT_EQ(sim::CallsTo("GetDriveTypeW").size(), c.typeTests);
    EXPECT_EQ(sim::CallsTo("CreateFileW").size(), c.opens);
    std::vector<sim::Call> closes = sim::CallsTo("CloseHandle");
    ASSERT_EQ(closes.size(), c.closes);
    if (c.closes == 1) {
      EXPECT_EQ(closes[0].args[0], sim::HandleNumber(before));
    }
    EXPECT_EQ(g_DeviceDrive, c.cachedDrive);
    EXPECT_EQ(g_hDevice != INVALID_HANDLE_VALUE, c.handle);
    size_t requests = (c.second == Second::Works || c.second == Second::RequestFails) ? 1 : 0;
    EXPECT_EQ(PassThroughCalls().size(), requests);
  }
}

TEST_F(Transport, AlternatingDrivesReopenAtEveryChange) {
  const BYTE order[] = {0, 0, 1, 1, 0, 1};
  for (BYTE drive : order) {
    EXPECT_TRUE(IssueCommand(drive, kTestUnitReady, nullptr, 0, 1, 5));
  }
  std::vector<sim::Call> opens = sim::CallsTo("CreateFileW");
  ASSERT_EQ(opens.size(), 4u);
  EXPECT_EQ(opens[0].text, "\\\\.\\D:");
  EXPECT_EQ(opens[1].text, "\\\\.\\E:");
  EXPECT_EQ(opens[2].text, "\\\\.\\D:");
  EXPECT_EQ(opens[3].text, "\\\\.\\E:");
  EXPECT_EQ(sim::CallsTo("CloseHandle").size(), 3u);
  EXPECT_EQ(sim::DriveAt('D')->commands.size(), 3u);
  EXPECT_EQ(sim::DriveAt('E')->commands.size(), 3u);
}

// An index with no letter behind it (0xFF is what "no target" reads as) is
// refused without touching memory past the table or the platform.
TEST_F(Transport, IndexWithoutALetterIsRefused) {
  const BYTE indexes[] = {2, kMaxOpticalDrives - 1, kMaxOpticalDrives, 0xFE, 0xFF};
  for (BYTE drive : indexes) {
    sim::ClearCalls();
    EXPECT_FALSE(IssueCommand(drive, kTestUnitReady, nullptr, 0, 1, 5)) << int(drive);
    EXPECT_TRUE(sim::CallsTo("GetDriveTypeW").empty()) << int(drive);
    EXPECT_TRUE(sim::CallsTo("CreateFileW").empty()) << int(drive);
    EXPECT_EQ(g_DeviceDrive, 0xFF);
  }
  EXPECT_EQ(sim::Stdout(), "");
}

// g_SenseData after each outcome, whatever the command before left there.
struct SenseCase {
  const char *name;
  bool transportFailure;
  uint8_t status;
  std::vector<uint8_t> sense;
  bool result;
  std::vector<uint8_t> expected;
};

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes) {
  bytes.resize(24, 0);
  return bytes;
}

TEST_F(Transport, SenseDataAfterEachOutcome) {
  std::vector<uint8_t> full(32);
  for (size_t i = 0; i < full.size(); i++) {
    full[i] = (uint8_t)(0xA0 + i);
  }
  std::vector<uint8_t> progress = SenseBytes(0x02, 0x04, 0x08, 0x00123456);
  std::vector<uint8_t> notReadyFlag = Padded({0x70, 0, 0x22, 0, 0, 0, 0, 10});
  notReadyFlag[12] = 0x3A;
  const SenseCase cases[] = {
      {"GOOD", false, 0, {}, true, std::vector<uint8_t>(24, 0)},
      {"GOOD with sense bytes", false, 0, full, true, std::vector<uint8_t>(24, 0)},
      {"CHECK CONDITION, 18 bytes", false, 2, progress, false, Padded(progress)},
      {"CHECK CONDITION, 32 bytes offered", false, 2, full, false,
       std::vector<uint8_t>(full.begin(), full.begin() + 24)},
      // Byte 2 arrives whole: 0x22 (NOT READY with a flag) is not 0x02.
      {"sense key with a flag bit", false, 2, notReadyFlag, false, notReadyFlag},
      {"BUSY without sense", false, 0x08, {}, false, std::vector<uint8_t>(24, 0)},
      {"transport failure", true, 0, {}, false, std::vector<uint8_t>(24, 0)},
  };
  for (const SenseCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(g_SenseData, 0xEE, sizeof(g_SenseData));
    sim::DriveAt('D')->hook = [&c](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
      answer.transportFailure = c.transportFailure;
      answer.status = c.status;
      answer.sense = c.sense;
      return true;
    };
    EXPECT_EQ(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5), c.result);
    EXPECT_EQ(Bytes(g_SenseData, 24), c.expected);
  }
}

TEST_F(Transport, AfterARefusalGoodClearsTheSenseData) {
  sim::DriveAt('D')->media = sim::Media::NoDisc;
  EXPECT_FALSE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(g_SenseData[2], 0x02);
  EXPECT_EQ(g_SenseData[12], 0x3A);
  EXPECT_TRUE(IssueCommand(1, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(Bytes(g_SenseData, 24), std::vector<uint8_t>(24, 0));
}

// The error lines: "Error : " and the message, no line feed at the end, the
// same bytes from every build.
TEST_F(Transport, OpenFailureWritesTheHandleErrorLine) {
  sim::DriveAt('D')->openError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(sim::Stdout(), "Error : Error occur during getting the handle of Device\nError Code 5");
  EXPECT_EQ(sim::DebugOutput(), L"");
  EXPECT_EQ(g_hDevice, INVALID_HANDLE_VALUE);
}

TEST_F(Transport, RequestFailureWritesTheSptiErrorLineAndKeepsTheHandle) {
  sim::DriveAt('D')->faults.push_back(TestUnitReadyFails(ERROR_SEM_TIMEOUT, 1));
  EXPECT_FALSE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(sim::Stdout(),
            "Error : DeviceIoControl Error: Error Code 121\nI can't issue Command through SPTI");
  EXPECT_EQ(g_DeviceDrive, 0);
  EXPECT_TRUE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(sim::CallsTo("CreateFileW").size(), 1u);
}

TEST_F(Transport, ErrorLineOnAConsoleIsWideText) {
  sim::SetConsole(true, 437);
  sim::DriveAt('D')->openError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(sim::ConsoleText(),
            L"Error : Error occur during getting the handle of Device\nError Code 5");
  EXPECT_EQ(sim::Stdout(), "");
}

TEST_F(Transport, LetterNoLongerOpticalGoesToTheDebuggerOnly) {
  sim::SetDriveType('D', DRIVE_NO_ROOT_DIR);
  EXPECT_FALSE(IssueCommand(0, kTestUnitReady, nullptr, 0, 1, 5));
  EXPECT_EQ(sim::DebugOutput(), L"\n ExecATAPICommand: This Drive is not Optical Device Drive\n");
  EXPECT_EQ(sim::Stdout(), "");
  EXPECT_TRUE(sim::CallsTo("CreateFileW").empty());
}

} // namespace
