// The command set: exact command blocks, directions, lengths and timeouts,
// sent to the target drive.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/drive/drive_fixture.h"
#include "updater/drive/commands.h"
#include "updater/drive/discovery.h"
#include "updater/drive/transport.h"

namespace {

// Another drive at D (index 0) and the target at E (index 1).
class Commands : public DriveTest {
protected:
  void SetUp() override {
    DriveTest::SetUp();
    sim::AddDrive('D', Identification("OTHERCO", "DVD-RW X1", "1.00"));
    target = &sim::AddVx72m('E');
    ASSERT_EQ(EnumOpticalDrives(), 2);
    g_TargetDrive = 1;
    sim::ClearCalls();
  }
  sim::Drive *target = nullptr;
};

BYTE g_data[0x4000];
BYTE g_buffer[300];

struct CommandCase {
  const char *name;
  std::function<bool()> send;
  std::vector<uint8_t> cdb;
  UCHAR dataIn;
  ULONG length;
  void *buffer;
  ULONG timeout;
};

TEST_F(Commands, EachSendsItsExactBlock) {
  const CommandCase cases[] = {
      {"Inquiry",
       [] { return Inquiry(g_buffer); },
       {0x12, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0},
       1,
       255,
       g_buffer,
       5},
      {"TestUnitReady",
       [] { return TestUnitReady(); },
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       1,
       0,
       nullptr,
       5},
      {"ReadBuffer of the revision block",
       [] { return ReadBuffer(6, 0, 0x1EC000, 256, g_buffer); },
       {0x3C, 0x06, 0x00, 0x1E, 0xC0, 0x00, 0x00, 0x01, 0x00, 0, 0, 0},
       1,
       256,
       g_buffer,
       60},
      {"ReadBuffer sends only bits 23-0 of the offset",
       [] { return ReadBuffer(6, 0x5A, 0xFF1EC000, 256, g_buffer); },
       {0x3C, 0x06, 0x5A, 0x1E, 0xC0, 0x00, 0x00, 0x01, 0x00, 0, 0, 0},
       1,
       256,
       g_buffer,
       60},
      {"WriteBuffer, first piece",
       [] { return WriteBuffer(6, 0, 0, 0x4000, g_data); },
       {0x3B, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0, 0, 0},
       0,
       0x4000,
       g_data,
       60},
      {"WriteBuffer, last piece",
       [] { return WriteBuffer(6, 0, 0x1FC000, 0x4000, g_data); },
       {0x3B, 0x06, 0x00, 0x1F, 0xC0, 0x00, 0x00, 0x40, 0x00, 0, 0, 0},
       0,
       0x4000,
       g_data,
       60},
      {"WriteBuffer, every field",
       [] { return WriteBuffer(0xA5, 0x3C, 0x123456, 0x10, g_data); },
       {0x3B, 0xA5, 0x3C, 0x12, 0x34, 0x56, 0x00, 0x00, 0x10, 0, 0, 0},
       0,
       0x10,
       g_data,
       60},
      {"StartFirmwareDownload",
       [] { return StartFirmwareDownload(); },
       {0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0, 0},
       0,
       0,
       nullptr,
       60},
      {"CommitFirmwareDownload",
       [] { return CommitFirmwareDownload(); },
       {0x3B, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0x1B, 0x12},
       0,
       0,
       nullptr,
       60},
  };
  for (const CommandCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::ClearCalls();
    c.send();
    std::vector<sim::Call> requests = PassThroughCalls();
    ASSERT_EQ(requests.size(), 1u);
    PassThroughRequest request = RequestOf(requests[0]);
    std::vector<uint8_t> cdb16 = c.cdb;
    cdb16.resize(16, 0);
    EXPECT_EQ(Bytes(request.header.Cdb, 16), cdb16);
    EXPECT_EQ(request.header.CdbLength, 12);
    EXPECT_EQ(request.header.DataIn, c.dataIn);
    EXPECT_EQ(request.header.DataTransferLength, c.length);
    EXPECT_EQ(request.header.DataBuffer, c.buffer);
    EXPECT_EQ(request.header.TimeOutValue, c.timeout);
    EXPECT_EQ(request.header.SenseInfoLength, 24);
    EXPECT_EQ(request.header.SenseInfoOffset, offsetof(PassThroughRequest, senseArea));
  }
  // All of them went to the target, none to the other drive.
  EXPECT_TRUE(sim::DriveAt('D')->commands.empty());
  EXPECT_EQ(target->commands.size(), 9u);
}

TEST_F(Commands, InquiryFillsTheIdentificationAndSparesByte255) {
  BYTE buffer[256];
  std::memset(buffer, 0xEE, sizeof(buffer));
  EXPECT_TRUE(Inquiry(buffer));
  EXPECT_EQ(std::string((const char *)buffer + 8, 28),
            Identification("KORVANEX", "BD-RE VX72M", "PR03"));
  EXPECT_EQ(buffer[255], 0xEE);
}

TEST_F(Commands, InquiryThatNeverReachesTheDriveLeavesAnEmptyIdentification) {
  target->openError = ERROR_ACCESS_DENIED;
  BYTE buffer[256];
  std::memset(buffer, 0xEE, sizeof(buffer));
  EXPECT_FALSE(Inquiry(buffer));
  EXPECT_EQ(Bytes(buffer, 255), std::vector<uint8_t>(255, 0));
  EXPECT_EQ(buffer[255], 0xEE);
}

TEST_F(Commands, ReadBufferReturnsTheRevisionBlock) {
  BYTE block[256];
  EXPECT_TRUE(ReadBuffer(6, 0, 0x1EC000, 256, block));
  EXPECT_EQ(std::string((const char *)block, 28),
            Identification("KORVANEX", "BD-RE VX72M", "PR03"));
  EXPECT_EQ(Bytes(block, 256), Bytes(target->firmware.data() + 0x1EC000, 256));
}

TEST_F(Commands, TestUnitReadyTellsTheMediaApart) {
  std::memset(g_SenseData, 0x77, sizeof(g_SenseData));
  target->media = sim::Media::Ready;
  EXPECT_TRUE(TestUnitReady());
  EXPECT_EQ(Bytes(g_SenseData, 24), std::vector<uint8_t>(24, 0));

  target->media = sim::Media::NoDisc;
  EXPECT_FALSE(TestUnitReady());
  EXPECT_EQ(g_SenseData[2], 0x02);
  EXPECT_EQ(g_SenseData[12], 0x3A);
}

// The sense key byte reaches the procedure whole, flag bits included.
TEST_F(Commands, SenseKeyWithAFlagBitStaysDistinct) {
  target->hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.status = 0x02;
    std::array<uint8_t, 18> sense = sim::Sense(0x02, 0x3A, 0x00);
    sense[2] = 0x22;
    answer.sense.assign(sense.begin(), sense.end());
    return true;
  };
  EXPECT_FALSE(TestUnitReady());
  EXPECT_EQ(g_SenseData[2], 0x22);
  EXPECT_NE(g_SenseData[2], 0x02);
  EXPECT_EQ(g_SenseData[12], 0x3A);
}

TEST_F(Commands, ProgressArrivesInTheInformationField) {
  target->hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.status = 0x02;
    std::array<uint8_t, 18> sense = sim::Sense(0x02, 0x04, 0x08, 0x0020004D);
    answer.sense.assign(sense.begin(), sense.end());
    return true;
  };
  EXPECT_FALSE(TestUnitReady());
  EXPECT_EQ(Bytes(g_SenseData + 3, 4), (std::vector<uint8_t>{0x00, 0x20, 0x00, 0x4D}));
  EXPECT_EQ(g_SenseData[13], 0x08);
}

} // namespace
