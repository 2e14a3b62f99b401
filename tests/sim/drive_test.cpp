// The simulated VX72M against its drive contract: identification, revision
// block, media states, the download protocol and its refusals, the long write
// and the injected faults.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel32.h"
#include "platform/sim/sim.h"

namespace {

struct Reply {
  bool executed = false;
  DWORD error = 0;
  uint8_t status = 0xFF;
  std::vector<uint8_t> sense; // the 24 bytes of the sense area
};

constexpr uint32_t kPiece = 0x4000;

class DriveTest : public ::testing::Test {
protected:
  void SetUp() override {
    sim::Reset();
    drive_ = &sim::AddVx72m('D', "PR03");
    device_ =
        CreateFileW(L"\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  }

  // Sends a command as the updater does: one PassThroughRequest as input and
  // output, sense area after the header.
  Reply Send(std::vector<uint8_t> cdb, uint8_t dataIn = SCSI_IOCTL_DATA_IN, uint32_t length = 0,
             void *data = nullptr, uint8_t cdbLength = 12) {
    PassThroughRequest request;
    std::memset(&request, 0, sizeof request);
    request.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.header.CdbLength = cdbLength;
    request.header.SenseInfoLength = 24;
    request.header.DataIn = dataIn;
    request.header.DataTransferLength = length;
    request.header.TimeOutValue = 60;
    request.header.DataBuffer = data;
    request.header.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
    std::memcpy(request.header.Cdb, cdb.data(), std::min<size_t>(cdb.size(), 16));
    DWORD returned = 0;
    Reply reply;
    reply.executed =
        DeviceIoControl(device_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                        sizeof request, &returned, nullptr) != FALSE;
    reply.error = reply.executed ? 0 : GetLastError();
    reply.status = request.header.ScsiStatus;
    reply.sense.assign(request.senseArea, request.senseArea + 24);
    return reply;
  }

  Reply TestUnitReady() { return Send({0x00}); }
  Reply Start() { return Send({0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0, 0}, SCSI_IOCTL_DATA_OUT); }
  Reply Commit() {
    return Send({0x3B, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0x1B, 0x12}, SCSI_IOCTL_DATA_OUT);
  }
  Reply Piece(uint32_t offset, uint32_t length = kPiece, uint8_t bufferId = 0) {
    piece_.assign(length, static_cast<uint8_t>(offset >> 14));
    return Send({0x3B, 0x06, bufferId, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
                 uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0, 0, 0},
                SCSI_IOCTL_DATA_OUT, length, piece_.data());
  }
  void SendImage(uint32_t pieces = 128) {
    for (uint32_t i = 0; i < pieces; i++) {
      ASSERT_EQ(Piece(i * kPiece).status, 0) << "piece " << i;
    }
  }
  std::vector<uint8_t> Inquiry() {
    std::vector<uint8_t> data(255, 0);
    const Reply reply = Send({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data());
    EXPECT_EQ(reply.status, 0);
    return data;
  }
  static std::string Identification(const std::vector<uint8_t> &inquiry) {
    return std::string(inquiry.begin() + 8, inquiry.begin() + 36);
  }

  sim::Drive *drive_ = nullptr;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> piece_;
};

::testing::AssertionResult HasSense(const Reply &reply, uint8_t key, uint8_t asc, uint8_t ascq) {
  if (!reply.executed) {
    return ::testing::AssertionFailure() << "not executed, error " << reply.error;
  }
  if (reply.status != 0x02 || reply.sense[2] != key || reply.sense[12] != asc ||
      reply.sense[13] != ascq) {
    return ::testing::AssertionFailure()
           << "status " << int(reply.status) << " sense " << int(reply.sense[2]) << "/"
           << int(reply.sense[12]) << "/" << int(reply.sense[13]);
  }
  return ::testing::AssertionSuccess();
}

uint32_t Information(const Reply &reply) {
  return (uint32_t(reply.sense[3]) << 24) | (uint32_t(reply.sense[4]) << 16) |
         (uint32_t(reply.sense[5]) << 8) | reply.sense[6];
}

TEST_F(DriveTest, IdentifiesItselfFromTheInstalledRevisionBlock) {
  const std::vector<uint8_t> inquiry = Inquiry();
  EXPECT_EQ(inquiry[0], 0x05);
  EXPECT_EQ(Identification(inquiry), "KORVANEXBD-RE VX72M     PR03");

  std::vector<uint8_t> block(256, 0xEE);
  const Reply read = Send({0x3C, 0x06, 0x00, 0x1E, 0xC0, 0x00, 0x00, 0x01, 0x00},
                          SCSI_IOCTL_DATA_IN, 256, block.data());
  ASSERT_EQ(read.status, 0);
  EXPECT_EQ(std::string(block.begin(), block.begin() + 28), "KORVANEXBD-RE VX72M     PR03");
}

TEST_F(DriveTest, FullDownloadCommitLongWriteAndNewRevision) {
  drive_->longWriteMs = 2000;
  ASSERT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00));
  ASSERT_EQ(Start().status, 0);
  SendImage();
  ASSERT_EQ(Commit().status, 0);

  uint32_t last = 0;
  for (uint64_t t = 0; t < 2000; t += 500) {
    const Reply poll = TestUnitReady();
    ASSERT_TRUE(HasSense(poll, 0x02, 0x04, 0x08)) << "at " << t;
    EXPECT_GE(Information(poll), last);
    last = Information(poll);
    Sleep(500);
  }
  EXPECT_EQ(last, 2097229u * 3 / 4 + 1);
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x06, 0x29, 0x00));
  EXPECT_EQ(TestUnitReady().status, 0);
  EXPECT_TRUE(drive_->updated);
  ASSERT_EQ(drive_->firmware.size(), sim::kFirmwareSize);
  EXPECT_EQ(drive_->firmware[0], 0);
  EXPECT_EQ(drive_->firmware[sim::kFirmwareSize - 1], 127);
}

} // namespace
