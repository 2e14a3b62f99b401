// The simulated machine's kernel32: drive letters, device opens, the strict
// checks of DeviceIoControl, media change control and the call log.
#include <functional>

#include "tests/sim/sim_fixture.h"

namespace {

using namespace simtest;

class Machine : public SimTest {};

TEST_F(Machine, DriveLettersAfterResetAndTheirExactRootForm) {
  sim::Reset();
  for (char letter = 'A'; letter <= 'Z'; letter++) {
    const wchar_t root[] = {wchar_t(letter), L':', L'\\', 0};
    EXPECT_EQ(GetDriveTypeW(root), UINT(letter == 'C' ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR));
  }
  sim::SetDriveType('F', DRIVE_REMOTE);
  sim::AddVx72m('G');
  EXPECT_EQ(GetDriveTypeW(L"F:\\"), UINT(DRIVE_REMOTE));
  EXPECT_EQ(GetDriveTypeW(L"G:\\"), UINT(DRIVE_CDROM));
  EXPECT_EQ(GetDriveTypeW(L"g:\\"), UINT(DRIVE_CDROM));
  for (const wchar_t *other : {L"G:", L"G", L"G:/", L"G:\\\\", L"\\\\.\\G:", L"", L"1:\\"}) {
    EXPECT_EQ(GetDriveTypeW(other), UINT(DRIVE_NO_ROOT_DIR)) << sim::Calls().back().text;
  }
  EXPECT_EQ(GetDriveTypeW(nullptr), UINT(DRIVE_NO_ROOT_DIR));
  sim::SetDriveType('G', DRIVE_REMOVABLE); // the letter changes under the drive
  EXPECT_EQ(GetDriveTypeW(L"G:\\"), UINT(DRIVE_REMOVABLE));
}

TEST_F(Machine, DevicesOpenOnlyInTheirExactFormAndMayBeRefused) {
  struct Case {
    const wchar_t *path;
    DWORD error; // 0: opens
  };
  const std::vector<Case> cases = {
      {L"\\\\.\\D:", 0},
      {L"\\\\.\\d:", 0},
      {L"\\\\.\\D", ERROR_FILE_NOT_FOUND},
      {L"\\\\.\\D:\\", ERROR_FILE_NOT_FOUND},
      {L"\\\\.\\E:", ERROR_FILE_NOT_FOUND},
      {L"\\\\.\\C:", ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    const HANDLE handle = OpenDevice(c.path);
    if (c.error == 0) {
      EXPECT_NE(handle, INVALID_HANDLE_VALUE) << sim::Calls().back().text;
    } else {
      EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << sim::Calls().back().text;
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  drive->openError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(OpenDevice(L"\\\\.\\D:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  drive->openError = 0;
  EXPECT_EQ(CreateFileW(L"\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
}

TEST_F(Machine, DeviceOpensKeepEachOthersShareModes) {
  // The fixture's open shares reading and writing: so do these.
  const HANDLE attributes =
      CreateFileW(L"\\\\.\\D:", FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(attributes, INVALID_HANDLE_VALUE); // touches no data
  const HANDLE exclusive = CreateFileW(L"\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  const HANDLE readOnlyShare =
      CreateFileW(L"\\\\.\\D:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(readOnlyShare, INVALID_HANDLE_VALUE); // the fixture's handle writes
  CloseHandle(device);
  const HANDLE alone = CreateFileW(L"\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(alone, INVALID_HANDLE_VALUE); // the attributes handle does not count
  EXPECT_EQ(OpenDevice(L"\\\\.\\D:"), INVALID_HANDLE_VALUE);
}

TEST_F(Machine, HandlesAreDistinctAndNeverServeAfterTheirClose) {
  const HANDLE second = OpenDevice(L"\\\\.\\D:");
  EXPECT_NE(sim::HandleNumber(second), sim::HandleNumber(device));
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_FALSE(CloseHandle(device));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  const HANDLE third = OpenDevice(L"\\\\.\\D:");
  EXPECT_NE(sim::HandleNumber(third), sim::HandleNumber(device));
  const Reply reply = TestUnitReady(); // through the closed handle
  EXPECT_FALSE(reply.executed);
  EXPECT_EQ(reply.error, DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(drive->commands.empty());
  EXPECT_EQ(sim::HandleNumber(INVALID_HANDLE_VALUE), UINT64_MAX);
}

TEST_F(Machine, LastErrorIsKeptUntilSetOrFailedAgain) {
  SetLastError(1234);
  EXPECT_EQ(GetDriveTypeW(L"C:\\"), UINT(DRIVE_FIXED));
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(OpenDevice(L"\\\\.\\Q:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// Each malformed request is refused by the port driver before it reaches the
// drive, with the request left as it was.
TEST_F(Machine, PassThroughRequestsAreCheckedLikeARealPortDriver) {
  struct Case {
    const char *name;
    std::function<void(PassThroughRequest &)> change;
    DWORD inSize = sizeof(PassThroughRequest);
    DWORD outSize = sizeof(PassThroughRequest);
    bool nullIn = false;
    bool nullOut = false;
    bool nullReturned = false;
    DWORD error = ERROR_INVALID_PARAMETER;
  };
  auto none = [](PassThroughRequest &) {};
  const DWORD header = sizeof(SCSI_PASS_THROUGH_DIRECT);
  const std::vector<Case> cases = {
      {"input smaller than the header", none, header - 1},
      {"output smaller than the header", none, sizeof(PassThroughRequest), header - 1},
      {"no input", none, sizeof(PassThroughRequest), sizeof(PassThroughRequest), true},
      {"no output", none, sizeof(PassThroughRequest), sizeof(PassThroughRequest), false, true},
      {"no byte count", none, sizeof(PassThroughRequest), sizeof(PassThroughRequest), false, false,
       true},
      {"Length of another layout",
       [](PassThroughRequest &r) { r.header.Length = 44 + 56 - header; }},
      {"Length zero", [](PassThroughRequest &r) { r.header.Length = 0; }},
      {"CdbLength 5", [](PassThroughRequest &r) { r.header.CdbLength = 5; }},
      {"CdbLength 17", [](PassThroughRequest &r) { r.header.CdbLength = 17; }},
      {"data without a buffer", [](PassThroughRequest &r) { r.header.DataBuffer = nullptr; }},
      {"sense beyond the output",
       [](PassThroughRequest &r) {
         r.header.SenseInfoLength = sizeof r - offsetof(PassThroughRequest, senseArea) + 1;
       }},
      {"sense offset beyond the output",
       [](PassThroughRequest &r) { r.header.SenseInfoOffset = sizeof(PassThroughRequest); }},
      {"sense over the header", [](PassThroughRequest &r) { r.header.SenseInfoOffset = 4; }},
      {"direction 3", [](PassThroughRequest &r) { r.header.DataIn = 3; }},
      {"sense just fits the output smaller than the record",
       [](PassThroughRequest &r) { r.header.SenseInfoLength = 24; }, sizeof(PassThroughRequest),
       offsetof(PassThroughRequest, senseArea) + 23},
  };
  std::vector<uint8_t> data(255, 0xEE);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PassThroughRequest request =
        Request({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data());
    c.change(request);
    const PassThroughRequest before = request;
    DWORD returned = 0xABCD;
    SetLastError(0);
    const BOOL ok = DeviceIoControl(
        device, IOCTL_SCSI_PASS_THROUGH_DIRECT, c.nullIn ? nullptr : &request, c.inSize,
        c.nullOut ? nullptr : &request, c.outSize, c.nullReturned ? nullptr : &returned, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(std::memcmp(&before, &request, sizeof request), 0);
    EXPECT_TRUE(drive->commands.empty());
    drive->commands.clear();
  }
  // The edges that pass: 6- and 16-byte blocks, sense ending at the output's end.
  for (uint8_t length : {uint8_t(6), uint8_t(16)}) {
    PassThroughRequest request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr, length);
    EXPECT_TRUE(SendRequest(device, request).executed);
  }
  PassThroughRequest request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
  request.header.SenseInfoLength = 32;
  EXPECT_TRUE(SendRequest(device, request).executed);
}

TEST_F(Machine, PassThroughNeedsReadAndWriteAccessAndNoOverlap) {
  for (DWORD access : {DWORD(GENERIC_READ), DWORD(GENERIC_WRITE), DWORD(FILE_READ_ATTRIBUTES)}) {
    const HANDLE limited = OpenDevice(L"\\\\.\\D:", access);
    PassThroughRequest request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
    const Reply reply = SendRequest(limited, request);
    EXPECT_FALSE(reply.executed);
    EXPECT_EQ(reply.error, DWORD(ERROR_ACCESS_DENIED));
  }
  PassThroughRequest request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
  DWORD returned = 0;
  char overlapped[32] = {};
  EXPECT_FALSE(DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                               &request, sizeof request, &returned, overlapped));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeviceIoControl(device, 0x2D1080, &request, sizeof request, &request, sizeof request,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), 1u); // ERROR_INVALID_FUNCTION
  EXPECT_TRUE(drive->commands.empty());
}

TEST_F(Machine, AnExecutedRequestGetsStatusSenseAndDataAndNothingElse) {
  std::vector<uint8_t> data(64, 0xEE);
  PassThroughRequest request =
      Request({0x3C, 0x06, 0, 0x1E, 0xC0, 0x00, 0, 0, 0x40}, SCSI_IOCTL_DATA_IN, 64, data.data());
  std::memset(request.senseArea, 0xCC, sizeof request.senseArea);
  request.filler = 0x11223344;
  request.header.ScsiStatus = 0x77;
  PassThroughRequest before = request;
  ASSERT_TRUE(IsGood(SendRequest(device, request)));
  EXPECT_EQ(request.header.ScsiStatus, 0);
  before.header.ScsiStatus = 0;
  EXPECT_EQ(std::memcmp(&before, &request, sizeof request), 0); // GOOD writes no sense
  EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "KORVANEX");

  // A refusal writes its 18 sense bytes and leaves the rest of the area.
  request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
  std::memset(request.senseArea, 0xCC, sizeof request.senseArea);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                              &request, sizeof request, &returned, nullptr));
  EXPECT_EQ(request.header.ScsiStatus, 0x02);
  const std::array<uint8_t, 18> sense = sim::Sense(0x02, 0x3A, 0x00);
  EXPECT_TRUE(std::equal(sense.begin(), sense.end(), request.senseArea));
  EXPECT_EQ(request.senseArea[18], 0xCC);
  EXPECT_EQ(returned, offsetof(PassThroughRequest, senseArea) + 18);

  // At most SenseInfoLength bytes.
  request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
  request.header.SenseInfoLength = 3;
  std::memset(request.senseArea, 0xCC, sizeof request.senseArea);
  ASSERT_TRUE(SendRequest(device, request).executed);
  EXPECT_EQ(request.senseArea[2], 0x02);
  EXPECT_EQ(request.senseArea[3], 0xCC);
}

TEST_F(Machine, MediaChangeControlTakesOneByteOnAnyOpenHandle) {
  const HANDLE mcn =
      CreateFileW(L"\\\\.\\D:", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(mcn, INVALID_HANDLE_VALUE);
  PREVENT_MEDIA_REMOVAL off{1};
  DWORD returned = 7;
  ASSERT_TRUE(
      DeviceIoControl(mcn, IOCTL_STORAGE_MCN_CONTROL, &off, 1, nullptr, 0, &returned, nullptr));
  EXPECT_TRUE(drive->mcnDisabled);
  EXPECT_EQ(returned, 0u);
  PREVENT_MEDIA_REMOVAL on{0};
  ASSERT_TRUE(
      DeviceIoControl(mcn, IOCTL_STORAGE_MCN_CONTROL, &on, 1, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(drive->mcnDisabled);
  EXPECT_EQ(drive->mcnRequests, 2);

  uint8_t two[2] = {1, 1};
  for (DWORD size : {DWORD(0), DWORD(2)}) {
    EXPECT_FALSE(
        DeviceIoControl(mcn, IOCTL_STORAGE_MCN_CONTROL, two, size, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(
      DeviceIoControl(mcn, IOCTL_STORAGE_MCN_CONTROL, nullptr, 1, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(drive->mcnDisabled);
  EXPECT_EQ(drive->mcnRequests, 2);

  drive->mcnError = ERROR_NOT_READY;
  EXPECT_FALSE(
      DeviceIoControl(mcn, IOCTL_STORAGE_MCN_CONTROL, &off, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
  EXPECT_FALSE(drive->mcnDisabled);
  EXPECT_EQ(drive->mcnRequests, 3);
}

TEST_F(Machine, TheLogRecordsEachCallWithItsArgumentsInOrder) {
  sim::ClearCalls();
  const HANDLE handle =
      CreateFileW(L"\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  PassThroughRequest request = Request({0x00}, SCSI_IOCTL_DATA_IN, 0, nullptr);
  const PassThroughRequest sent = request;
  DWORD returned = 0;
  DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                  sizeof request, &returned, nullptr);
  OutputDebugStringW(L"\n note\n");
  GetDriveTypeW(L"D:\\");
  CloseHandle(handle);
  GetLastError();
  EXPECT_EQ(OpenDevice(L"\\\\.\\Z:"), INVALID_HANDLE_VALUE);

  const std::vector<sim::Call> &calls = sim::Calls();
  ASSERT_EQ(calls.size(), 7u);
  const uint64_t number = sim::HandleNumber(handle);
  EXPECT_EQ(calls[0].fn, "CreateFileW");
  EXPECT_EQ(calls[0].text, "\\\\.\\D:");
  EXPECT_EQ(calls[0].args, std::vector<uint64_t>({GENERIC_READ | GENERIC_WRITE, 3, 0, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, 0, number}));
  EXPECT_EQ(calls[1].fn, "DeviceIoControl");
  EXPECT_EQ(calls[1].args, std::vector<uint64_t>({number, IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                                  sizeof request, sizeof request, 1, 0, 1}));
  ASSERT_EQ(calls[1].data.size(), sizeof request);
  EXPECT_EQ(std::memcmp(calls[1].data.data(), &sent, sizeof sent), 0); // as it went in
  EXPECT_NE(std::memcmp(&request, &sent, sizeof sent), 0);
  EXPECT_EQ(calls[2].fn, "OutputDebugStringW");
  EXPECT_EQ(calls[2].text, "\n note\n");
  EXPECT_EQ(calls[3].args, std::vector<uint64_t>({DRIVE_CDROM}));
  EXPECT_EQ(calls[4].args, std::vector<uint64_t>({number, 1}));
  EXPECT_EQ(calls[5].args, std::vector<uint64_t>({ERROR_SUCCESS}));
  EXPECT_EQ(calls[6].args.back(), 0u); // a failed open logs handle 0
  EXPECT_EQ(sim::CallsTo({"CreateFileW", "CloseHandle"}).size(), 3u);
  EXPECT_EQ(sim::DebugOutput(), L"\n note\n");
  EXPECT_TRUE(sim::Stdout().empty());
}

TEST_F(Machine, ObserversSeeEachCallAfterItsWorkAndMayChangeTheMachine) {
  std::vector<std::string> seen;
  size_t commandsWhenSeen = 0;
  sim::OnCall([&](const sim::Call &call) {
    seen.push_back(call.fn);
    if (call.fn == "DeviceIoControl") {
      commandsWhenSeen = drive->commands.size();
      drive->media = sim::Media::Ready; // the disc goes in after the first command
      GetLastError();                   // logged, not observed again
    }
  });
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00));
  EXPECT_EQ(commandsWhenSeen, 1u);
  EXPECT_EQ(seen, std::vector<std::string>({"DeviceIoControl"}));
  EXPECT_TRUE(IsGood(TestUnitReady()));
  EXPECT_EQ(sim::CallsTo("GetLastError").size(), 2u);

  sim::OnCall(nullptr);
  TestUnitReady();
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Machine, ResetGivesAFreshMachine) {
  sim::QueueKeys("x");
  sim::SetConsole(true);
  WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), L"a", 1, nullptr, nullptr);
  Sleep(10);
  sim::OnCall([](const sim::Call &) { FAIL() << "observer survived Reset"; });
  sim::Reset();
  EXPECT_EQ(sim::DriveAt('D'), nullptr);
  EXPECT_TRUE(sim::Calls().empty());
  EXPECT_TRUE(sim::ConsoleText().empty());
  EXPECT_EQ(sim::Now(), 0u);
  EXPECT_EQ(_getch(), -1);
  EXPECT_EQ(GetConsoleOutputCP(), 0u);
  EXPECT_FALSE(CloseHandle(device));
}

} // namespace
