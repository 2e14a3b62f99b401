// A fresh simulated machine and fresh drive access state for every case, and
// helpers to read the seam log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "updater/drive/drive_state.h"

class DriveTest : public ::testing::Test {
protected:
  void SetUp() override {
    sim::Reset();
    ResetDriveState();
  }
  void TearDown() override {
    sim::OnCall(nullptr);
    ResetDriveState();
  }
};

// The request record a DeviceIoControl call was given, as it was when the
// call began.
inline PassThroughRequest RequestOf(const sim::Call &call) {
  PassThroughRequest request;
  std::memset(&request, 0, sizeof(request));
  std::memcpy(&request, call.data.data(), std::min(call.data.size(), sizeof(request)));
  return request;
}

inline std::vector<uint8_t> Bytes(const void *data, size_t size) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

// Pass-through requests in the order they were sent.
inline std::vector<sim::Call> PassThroughCalls() {
  std::vector<sim::Call> requests;
  for (const sim::Call &call : sim::CallsTo("DeviceIoControl")) {
    if (call.args.size() > 1 && call.args[1] == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      requests.push_back(call);
    }
  }
  return requests;
}

// 28 bytes of identification from an 8-byte vendor, a 16-byte product and a
// 4-byte revision, each filled up with spaces.
inline std::string Identification(const std::string &vendor, const std::string &product,
                                  const std::string &revision) {
  auto field = [](std::string text, size_t size) {
    text.resize(size, ' ');
    return text;
  };
  return field(vendor, 8) + field(product, 16) + field(revision, 4);
}
