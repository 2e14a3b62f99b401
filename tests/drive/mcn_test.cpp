// Media change notification control: its own handle, one open for two
// requests, a failed open tried again.
#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/sim.h"
#include "tests/drive/drive_fixture.h"
#include "updater/drive/discovery.h"
#include "updater/drive/mcn.h"
#include "updater/drive/transport.h"

namespace {

std::vector<sim::Call> McnRequests() {
  std::vector<sim::Call> requests;
  for (const sim::Call &call : sim::CallsTo("DeviceIoControl")) {
    if (call.args.size() > 1 && call.args[1] == IOCTL_STORAGE_MCN_CONTROL) {
      requests.push_back(call);
    }
  }
  return requests;
}

// The target at D (index 0), another drive at E (index 1).
class Mcn : public DriveTest {
protected:
  void SetUp() override {
    DriveTest::SetUp();
    target = &sim::AddVx72m('D');
    sim::AddVx72m('E');
    ASSERT_EQ(EnumOpticalDrives(), 2);
    sim::ClearCalls();
  }
  sim::Drive *target = nullptr;
};

TEST_F(Mcn, OffThenOnOpensOnceAndSendsTwoRequestsOnOneHandle) {
  EXPECT_TRUE(ControlMcn(0, 1));
  EXPECT_TRUE(target->mcnDisabled);
  EXPECT_TRUE(ControlMcn(0, 0));
  EXPECT_FALSE(target->mcnDisabled);
  EXPECT_EQ(target->mcnRequests, 2);

  std::vector<sim::Call> opens = sim::CallsTo("CreateFileW");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].text, "\\\\.\\D:");
  EXPECT_EQ(opens[0].args,
            (std::vector<uint64_t>{FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                   OPEN_EXISTING, 0, 0, sim::HandleNumber(g_hMcnDevice)}));

  std::vector<sim::Call> requests = McnRequests();
  ASSERT_EQ(requests.size(), 2u);
  const uint8_t flags[] = {1, 0};
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(requests[i].args[0], sim::HandleNumber(g_hMcnDevice));
    EXPECT_EQ(requests[i].args[2], 1u); // in: one byte
    EXPECT_EQ(requests[i].args[3], 0u); // no output
    EXPECT_EQ(requests[i].args[4], 1u); // a byte count variable
    EXPECT_EQ(requests[i].args[5], 0u); // no overlapped structure
    EXPECT_EQ(requests[i].data, std::vector<uint8_t>{flags[i]});
  }
  // No drive-type test, nothing written, and the command cache untouched.
  EXPECT_TRUE(sim::CallsTo("GetDriveTypeW").empty());
  EXPECT_TRUE(sim::CallsTo("CloseHandle").empty());
  EXPECT_EQ(sim::Stdout(), "");
  EXPECT_EQ(sim::DebugOutput(), L"");
  EXPECT_EQ(g_hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_McnDrive, 0);
}

TEST_F(Mcn, FailedOpenIsTriedAgainByTheNextCall) {
  target->openError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(ControlMcn(0, 1));
  EXPECT_EQ(g_hMcnDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_McnDrive, 0xFF);
  EXPECT_TRUE(McnRequests().empty());
  EXPECT_TRUE(target->commands.empty());

  target->openError = 0;
  EXPECT_TRUE(ControlMcn(0, 0));
  EXPECT_EQ(sim::CallsTo("CreateFileW").size(), 2u);
  EXPECT_EQ(McnRequests().size(), 1u);
  EXPECT_EQ(g_McnDrive, 0);
  EXPECT_EQ(sim::Stdout(), "");
}

TEST_F(Mcn, FailedRequestKeepsTheHandle) {
  target->mcnError = ERROR_INVALID_PARAMETER;
  EXPECT_FALSE(ControlMcn(0, 1));
  EXPECT_NE(g_hMcnDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_McnDrive, 0);
  target->mcnError = 0;
  EXPECT_TRUE(ControlMcn(0, 0));
  EXPECT_EQ(sim::CallsTo("CreateFileW").size(), 1u);
  EXPECT_EQ(sim::Stdout(), "");
}

TEST_F(Mcn, AnotherDriveClosesAndReopens) {
  EXPECT_TRUE(ControlMcn(0, 1));
  HANDLE first = g_hMcnDevice;
  EXPECT_TRUE(ControlMcn(1, 1));
  std::vector<sim::Call> closes = sim::CallsTo("CloseHandle");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].args[0], sim::HandleNumber(first));
  EXPECT_EQ(sim::CallsTo("CreateFileW").size(), 2u);
  EXPECT_EQ(g_McnDrive, 1);
}

// "No target" read as a drive index names no device: refused, nothing opened.
TEST_F(Mcn, IndexWithoutALetterIsRefused) {
  EXPECT_FALSE(ControlMcn(0xFF, 1));
  EXPECT_FALSE(ControlMcn(2, 1));
  EXPECT_TRUE(sim::CallsTo("CreateFileW").empty());
  EXPECT_EQ(g_McnDrive, 0xFF);
}

} // namespace
