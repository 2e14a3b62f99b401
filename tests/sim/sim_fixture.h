// A fresh simulated machine for every case, with one VX72M at D: open for
// commands, and a way to send a command as the updater does.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel32.h"
#include "platform/sim/sim.h"

namespace simtest {

constexpr uint32_t kPiece = 0x4000;
constexpr uint32_t kPackageSize = 2097229;

// What came back from one pass-through request.
struct Reply {
  bool executed = false;
  DWORD error = 0;
  uint8_t status = 0xFF;
  std::vector<uint8_t> sense; // the 24 requested bytes of the sense area
};

inline uint32_t Information(const Reply &reply) {
  return (uint32_t(reply.sense[3]) << 24) | (uint32_t(reply.sense[4]) << 16) |
         (uint32_t(reply.sense[5]) << 8) | reply.sense[6];
}

inline ::testing::AssertionResult IsGood(const Reply &reply) {
  if (reply.executed && reply.status == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "executed " << reply.executed << " error " << reply.error << " status "
         << int(reply.status) << " sense " << int(reply.sense[2]) << "/" << int(reply.sense[12])
         << "/" << int(reply.sense[13]);
}

inline ::testing::AssertionResult HasSense(const Reply &reply, uint8_t key, uint8_t asc,
                                           uint8_t ascq) {
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

inline HANDLE OpenDevice(const wchar_t *path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A request as the updater builds it: header, filler, 32-byte sense area.
inline PassThroughRequest Request(const std::vector<uint8_t> &cdb, uint8_t dataIn, uint32_t length,
                                  void *data, uint8_t cdbLength = 12) {
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
  return request;
}

inline Reply SendRequest(HANDLE device, PassThroughRequest &request) {
  DWORD returned = 0;
  Reply reply;
  reply.executed = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                                   &request, sizeof request, &returned, nullptr) != FALSE;
  reply.error = reply.executed ? 0 : GetLastError();
  reply.status = request.header.ScsiStatus;
  reply.sense.assign(request.senseArea, request.senseArea + 24);
  return reply;
}

inline std::vector<uint8_t> WriteBufferBlock(uint8_t mode, uint32_t offset, uint32_t length,
                                             uint8_t bufferId = 0) {
  return {0x3B,
          mode,
          bufferId,
          uint8_t(offset >> 16),
          uint8_t(offset >> 8),
          uint8_t(offset),
          uint8_t(length >> 16),
          uint8_t(length >> 8),
          uint8_t(length),
          0,
          0,
          0};
}

class SimTest : public ::testing::Test {
public: // the cases' tables call the helpers too
  void SetUp() override {
    sim::Reset();
    drive = &sim::AddVx72m('D', "PR03");
    device = OpenDevice(L"\\\\.\\D:");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { sim::Reset(); }

  Reply Send(const std::vector<uint8_t> &cdb, uint8_t dataIn = SCSI_IOCTL_DATA_IN,
             uint32_t length = 0, void *data = nullptr, uint8_t cdbLength = 12) {
    PassThroughRequest request = Request(cdb, dataIn, length, data, cdbLength);
    return SendRequest(device, request);
  }
  Reply TestUnitReady() { return Send({0x00}); }
  Reply Start() { return Send({0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0, 0}, SCSI_IOCTL_DATA_OUT); }
  Reply Commit() {
    return Send({0x3B, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0x1B, 0x12}, SCSI_IOCTL_DATA_OUT);
  }
  // Piece i of the image: every byte is i.
  Reply Piece(uint32_t index) {
    piece.assign(kPiece, static_cast<uint8_t>(index));
    return Send(WriteBufferBlock(6, index * kPiece, kPiece), SCSI_IOCTL_DATA_OUT, kPiece,
                piece.data());
  }
  void SendImage(uint32_t pieces = 128) {
    for (uint32_t i = 0; i < pieces; i++) {
      ASSERT_TRUE(IsGood(Piece(i))) << "piece " << i;
    }
  }
  std::vector<uint8_t> Inquiry(uint8_t allocation = 0xFF, uint32_t length = 255) {
    std::vector<uint8_t> data(256, 0xEE);
    EXPECT_TRUE(
        IsGood(Send({0x12, 0, 0, 0, allocation, 0}, SCSI_IOCTL_DATA_IN, length, data.data())));
    return data;
  }
  static std::string Identification(const std::vector<uint8_t> &inquiry) {
    return std::string(inquiry.begin() + 8, inquiry.begin() + 36);
  }

  sim::Drive *drive = nullptr;
  HANDLE device = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> piece;
};

} // namespace simtest
