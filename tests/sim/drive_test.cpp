// The simulated VX72M against its drive contract: identification, revision
// block, media states, the download protocol and its refusals, the long write
// and the injected faults.
#include <functional>

#include "tests/sim/sim_fixture.h"

namespace {

using namespace simtest;

class DriveContract : public SimTest {};

TEST_F(DriveContract, IdentifiesItselfFromTheInstalledRevisionBlock) {
  const std::vector<uint8_t> inquiry = Inquiry();
  EXPECT_EQ(inquiry[0], 0x05); // CD/DVD device
  EXPECT_GE(inquiry[4] + 5, 36);
  EXPECT_EQ(Identification(inquiry), "KORVANEXBD-RE VX72M     PR03");

  std::vector<uint8_t> block(257, 0xEE);
  ASSERT_TRUE(IsGood(Send({0x3C, 0x06, 0x00, 0x1E, 0xC0, 0x00, 0x00, 0x01, 0x00},
                          SCSI_IOCTL_DATA_IN, 256, block.data())));
  EXPECT_EQ(std::string(block.begin(), block.begin() + 28), "KORVANEXBD-RE VX72M     PR03");
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 256,
                         drive->firmware.begin() + sim::kRevisionBlockOffset));
  EXPECT_EQ(block[256], 0xEE);
}

TEST_F(DriveContract, InquiryTransfersAtMostTheAllocationAndTheTransferLength) {
  // The 6-byte block of the drive search, allocation 192.
  std::vector<uint8_t> data(200, 0xEE);
  ASSERT_TRUE(IsGood(Send({0x12, 0, 0, 0, 0xC0, 0}, SCSI_IOCTL_DATA_IN, 192, data.data(), 6)));
  EXPECT_EQ(Identification(data), "KORVANEXBD-RE VX72M     PR03");

  const std::vector<uint8_t> shortAllocation = Inquiry(20, 255);
  EXPECT_EQ(shortAllocation[19], 'R');
  EXPECT_EQ(shortAllocation[20], 0xEE);

  const std::vector<uint8_t> shortTransfer = Inquiry(255, 10);
  EXPECT_EQ(shortTransfer[9], 'O');
  EXPECT_EQ(shortTransfer[10], 0xEE);

  EXPECT_TRUE(HasSense(Send({0x12, 0x01, 0x80, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data()),
                       0x05, 0x24, 0x00)); // vital product data is not offered
}

TEST_F(DriveContract, OtherDrivesIdentifyWithTheBytesGivenZerosIncluded) {
  const std::string id("OTHERCO\0BD-RE VX72M     1.00", 28);
  sim::AddDrive('E', id);
  HANDLE other = OpenDevice(L"\\\\.\\E:");
  std::vector<uint8_t> data(255, 0xEE);
  PassThroughRequest request =
      Request({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data());
  ASSERT_TRUE(IsGood(SendRequest(other, request)));
  EXPECT_EQ(Identification(data), id);
  EXPECT_EQ(GetDriveTypeW(L"E:\\"), UINT(DRIVE_CDROM));
}

TEST_F(DriveContract, ReadBufferRefusesWhatLiesBeyondTheImage) {
  std::vector<uint8_t> data(0x4000);
  struct Case {
    const char *name;
    std::vector<uint8_t> cdb;
    uint32_t length;
    bool good;
  };
  const std::vector<Case> cases = {
      {"last bytes", {0x3C, 6, 0, 0x1F, 0xFF, 0x00, 0, 1, 0}, 256, true},
      {"past the end", {0x3C, 6, 0, 0x1F, 0xFF, 0x01, 0, 1, 0}, 256, false},
      {"offset at the end", {0x3C, 6, 0, 0x20, 0x00, 0x00, 0, 0, 1}, 1, false},
      {"other mode", {0x3C, 2, 0, 0x1E, 0xC0, 0x00, 0, 1, 0}, 256, false},
      {"other buffer", {0x3C, 6, 1, 0x1E, 0xC0, 0x00, 0, 1, 0}, 256, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = Send(c.cdb, SCSI_IOCTL_DATA_IN, c.length, data.data());
    if (c.good) {
      EXPECT_TRUE(IsGood(reply));
    } else {
      EXPECT_TRUE(HasSense(reply, 0x05, 0x24, 0x00));
    }
  }
}

TEST_F(DriveContract, TestUnitReadyFollowsTheMedia) {
  drive->media = sim::Media::NoDisc;
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00));
  drive->media = sim::Media::BecomingReady;
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x02, 0x04, 0x01));
  drive->media = sim::Media::Ready;
  EXPECT_TRUE(IsGood(TestUnitReady()));
}

TEST_F(DriveContract, UnknownOpcodesAreIllegalRequests) {
  std::vector<uint8_t> data(64);
  EXPECT_TRUE(
      HasSense(Send({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0}, SCSI_IOCTL_DATA_IN, 8, data.data()),
               0x05, 0x20, 0x00)); // GET EVENT STATUS NOTIFICATION
  EXPECT_TRUE(HasSense(Send({0x28}, SCSI_IOCTL_DATA_IN), 0x05, 0x20, 0x00));
}

TEST_F(DriveContract, FullDownloadCommitLongWriteProgressResetAndNewRevision) {
  drive->longWriteMs = 2000;
  ASSERT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00));
  ASSERT_TRUE(IsGood(Start()));
  EXPECT_TRUE(drive->downloadStarted);
  SendImage();
  ASSERT_TRUE(IsGood(Commit()));
  EXPECT_TRUE(drive->committed);
  EXPECT_FALSE(drive->updated);

  const std::vector<uint32_t> expected = {0, 524308, 1048615, 1572922};
  for (uint32_t progress : expected) {
    const Reply poll = TestUnitReady();
    ASSERT_TRUE(HasSense(poll, 0x02, 0x04, 0x08)) << "at " << sim::Now();
    EXPECT_EQ(Information(poll), progress);
    Sleep(500);
  }
  EXPECT_TRUE(drive->updated); // the clock reached the end of the write
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x06, 0x29, 0x00));
  EXPECT_TRUE(IsGood(TestUnitReady()));
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00)); // back to its media

  ASSERT_EQ(drive->firmware.size(), sim::kFirmwareSize);
  for (uint32_t i = 0; i < 128; i++) {
    ASSERT_EQ(drive->firmware[i * kPiece], i);
    ASSERT_EQ(drive->firmware[i * kPiece + kPiece - 1], i);
  }
  EXPECT_EQ(drive->received, drive->firmware);
}

TEST_F(DriveContract, InstalledImageIsWhatInquiryShowsAfterTheWrite) {
  drive->longWriteMs = 100;
  drive->resetAfterLongWrite = false;
  ASSERT_TRUE(IsGood(Start()));
  std::vector<uint8_t> image = sim::AddVx72m('Q', "PR05").firmware;
  for (uint32_t i = 0; i < 128; i++) {
    ASSERT_TRUE(IsGood(Send(WriteBufferBlock(6, i * kPiece, kPiece), SCSI_IOCTL_DATA_OUT, kPiece,
                            image.data() + i * kPiece)));
  }
  ASSERT_TRUE(IsGood(Commit()));
  Sleep(100);
  EXPECT_TRUE(IsGood(TestUnitReady())); // no reset: GOOD at once
  EXPECT_EQ(Identification(Inquiry()), "KORVANEXBD-RE VX72M     PR05");
  EXPECT_EQ(drive->firmware, image);
}

TEST_F(DriveContract, EveryCommandDuringTheWriteReportsIt) {
  drive->longWriteMs = 1000;
  ASSERT_TRUE(IsGood(Start()));
  SendImage();
  ASSERT_TRUE(IsGood(Commit()));
  Sleep(250);
  std::vector<uint8_t> data(255);
  EXPECT_TRUE(HasSense(Send({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data()), 0x02,
                       0x04, 0x08));
  const Reply start = Start();
  EXPECT_TRUE(HasSense(start, 0x02, 0x04, 0x08));
  EXPECT_EQ(Information(start), kPackageSize / 4 + 1);
  Sleep(750);
  EXPECT_TRUE(HasSense(Send({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data()), 0x06,
                       0x29, 0x00)); // the first command after the write, whatever it is
  EXPECT_TRUE(IsGood(TestUnitReady()));
}

TEST_F(DriveContract, AWriteThatNeverEndsKeepsReportingFullProgress) {
  drive->longWriteMs = 1000;
  drive->longWriteNeverEnds = true;
  ASSERT_TRUE(IsGood(Start()));
  SendImage();
  ASSERT_TRUE(IsGood(Commit()));
  Sleep(100000);
  const Reply poll = TestUnitReady();
  EXPECT_TRUE(HasSense(poll, 0x02, 0x04, 0x08));
  EXPECT_EQ(Information(poll), kPackageSize);
  EXPECT_FALSE(drive->updated);
}

// Each way of breaking the download protocol is refused with ILLEGAL REQUEST
// and ends the download: a correct next piece is then out of sequence.
TEST_F(DriveContract, ProtocolViolationsAreRefusedAndAbandonTheDownload) {
  struct Case {
    const char *name;
    uint32_t piecesFirst; // after a correct start; ~0u: no start
    std::function<Reply(DriveContract &)> violation;
    uint8_t asc;
  };
  std::vector<uint8_t> data(2 * kPiece, 0x5A);
  auto sendPiece = [&data](DriveContract &t, std::vector<uint8_t> cdb, uint32_t length,
                           uint8_t direction = SCSI_IOCTL_DATA_OUT) {
    return t.Send(cdb, direction, length, data.data());
  };
  const std::vector<Case> cases = {
      {"piece before the start", ~0u,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, 0, kPiece), kPiece); },
       0x2C},
      {"commit before the start", ~0u, [](DriveContract &t) { return t.Commit(); }, 0x2C},
      {"start twice", 0, [](DriveContract &t) { return t.Start(); }, 0x2C},
      {"start without 0x0B", 0,
       [](DriveContract &t) { return t.Send(WriteBufferBlock(1, 0, 0), SCSI_IOCTL_DATA_OUT); },
       0x24},
      {"start with data", 0,
       [&](DriveContract &t) {
         std::vector<uint8_t> cdb = WriteBufferBlock(1, 0, 16);
         cdb[9] = 0x0B;
         return sendPiece(t, cdb, 16);
       },
       0x24},
      {"piece skipped", 1,
       [&](DriveContract &t) {
         return sendPiece(t, WriteBufferBlock(6, 2 * kPiece, kPiece), kPiece);
       },
       0x2C},
      {"piece again", 2,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, kPiece, kPiece), kPiece); },
       0x2C},
      {"misaligned offset", 0,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, 0x2000, kPiece), kPiece); },
       0x24},
      {"short piece", 0,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, 0, 0x2000), 0x2000); },
       0x24},
      {"long piece", 0,
       [&](DriveContract &t) {
         return sendPiece(t, WriteBufferBlock(6, 0, 2 * kPiece), 2 * kPiece);
       },
       0x24},
      {"length field not the transfer length", 0,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, 0, kPiece), 0x2000); },
       0x24},
      {"other buffer", 0,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(6, 0, kPiece, 1), kPiece); },
       0x24},
      {"piece as data in", 0,
       [&](DriveContract &t) {
         return sendPiece(t, WriteBufferBlock(6, 0, kPiece), kPiece, SCSI_IOCTL_DATA_IN);
       },
       0x24},
      {"piece past the image", 128,
       [&](DriveContract &t) {
         return sendPiece(t, WriteBufferBlock(6, 0x200000, kPiece), kPiece);
       },
       0x2C},
      {"commit after 127 pieces", 127, [](DriveContract &t) { return t.Commit(); }, 0x2C},
      {"commit without 1B 12", 128,
       [](DriveContract &t) { return t.Send(WriteBufferBlock(7, 0, 0), SCSI_IOCTL_DATA_OUT); },
       0x24},
      {"other mode", 3,
       [&](DriveContract &t) { return sendPiece(t, WriteBufferBlock(5, 0, kPiece), kPiece); },
       0x24},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.piecesFirst != ~0u) {
      ASSERT_TRUE(IsGood(Start()));
      SendImage(c.piecesFirst);
    }
    EXPECT_TRUE(HasSense(c.violation(*this), 0x05, c.asc, 0x00));
    EXPECT_FALSE(drive->downloadStarted);
    EXPECT_EQ(drive->piecesReceived, 0u);
    EXPECT_TRUE(HasSense(Piece(0), 0x05, 0x2C, 0x00));
    EXPECT_TRUE(HasSense(Commit(), 0x05, 0x2C, 0x00));
    EXPECT_FALSE(drive->committed);
    Sleep(100000);
    EXPECT_FALSE(drive->updated);
    EXPECT_EQ(Identification(Inquiry()), "KORVANEXBD-RE VX72M     PR03");
  }
}

TEST_F(DriveContract, ADownloadMayStartAfreshAfterARefusal) {
  ASSERT_TRUE(IsGood(Start()));
  SendImage(5);
  ASSERT_TRUE(HasSense(Commit(), 0x05, 0x2C, 0x00));
  ASSERT_TRUE(IsGood(Start()));
  SendImage();
  EXPECT_TRUE(IsGood(Commit()));
}

TEST_F(DriveContract, FaultsHitByCommandNumberOrByOpcodeAndOccurrence) {
  struct Case {
    const char *name;
    sim::Fault fault;
    std::vector<bool> hit; // for the five TEST UNIT READY commands below
  };
  auto fault = [](int number, int opcode, int occurrence) {
    sim::Fault f;
    f.commandNumber = number;
    f.opcode = opcode;
    f.occurrence = occurrence;
    f.kind = sim::FaultKind::CheckCondition;
    f.sense = sim::Sense(0x04, 0x44, 0x00);
    return f;
  };
  const std::vector<Case> cases = {
      {"third command", fault(3, -1, 0), {false, false, true, false, false}},
      {"every TEST UNIT READY", fault(0, 0x00, 0), {true, true, true, true, true}},
      {"second TEST UNIT READY", fault(0, 0x00, 2), {false, true, false, false, false}},
      {"another opcode", fault(0, 0x12, 0), {false, false, false, false, false}},
      {"number and opcode disagree", fault(2, 0x12, 0), {false, false, false, false, false}},
      {"neither: every command", fault(0, -1, 0), {true, true, true, true, true}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    drive->faults.push_back(c.fault);
    for (size_t i = 0; i < c.hit.size(); i++) {
      const Reply reply = TestUnitReady();
      EXPECT_TRUE(c.hit[i] ? HasSense(reply, 0x04, 0x44, 0x00) : HasSense(reply, 0x02, 0x3A, 0x00))
          << "command " << i + 1;
    }
    ASSERT_EQ(drive->commands.size(), c.hit.size());
    EXPECT_EQ(drive->commands.back().number, 5);
  }
}

TEST_F(DriveContract, TransportFaultFailsTheRequestAndWritesNothing) {
  sim::Fault fault;
  fault.opcode = 0x12;
  fault.kind = sim::FaultKind::Transport;
  fault.error = ERROR_SEM_TIMEOUT;
  drive->faults.push_back(fault);
  std::vector<uint8_t> data(255, 0xEE);
  PassThroughRequest request =
      Request({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data());
  const PassThroughRequest before = request;
  const Reply reply = SendRequest(device, request);
  EXPECT_FALSE(reply.executed);
  EXPECT_EQ(reply.error, DWORD(ERROR_SEM_TIMEOUT));
  EXPECT_EQ(std::memcmp(&before, &request, sizeof request), 0);
  EXPECT_EQ(data[8], 0xEE);
  EXPECT_EQ(drive->commands.size(), 1u); // the drive saw it
}

TEST_F(DriveContract, AVanishedDeviceIsGoneFromThenOn) {
  sim::Fault fault;
  fault.commandNumber = 2;
  fault.kind = sim::FaultKind::Vanish;
  drive->faults.push_back(fault);
  drive->mcnDisabled = true;
  EXPECT_TRUE(HasSense(TestUnitReady(), 0x02, 0x3A, 0x00));
  Reply reply = TestUnitReady();
  EXPECT_FALSE(reply.executed);
  EXPECT_EQ(reply.error, DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_TRUE(drive->vanished);
  EXPECT_FALSE(drive->mcnDisabled);

  reply = TestUnitReady();
  EXPECT_EQ(reply.error, DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(drive->commands.size(), 2u); // later commands never reach it
  EXPECT_EQ(GetDriveTypeW(L"D:\\"), UINT(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(OpenDevice(L"\\\\.\\D:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(DriveContract, AVanishedDriveDoesNotFinishItsWrite) {
  drive->longWriteMs = 1000;
  ASSERT_TRUE(IsGood(Start()));
  SendImage();
  ASSERT_TRUE(IsGood(Commit()));
  drive->vanished = true;
  Sleep(5000);
  EXPECT_FALSE(drive->updated);
}

TEST_F(DriveContract, TheHookAnswersFirstAndTheModelSeesNothing) {
  sim::Fault fault; // would hit every command
  drive->faults.push_back(fault);
  int seen = 0;
  drive->hook = [&seen](const sim::ScsiCommand &command, sim::ScsiAnswer &answer) {
    seen++;
    if (command.cdb[0] != 0x3B) {
      return false;
    }
    answer.status = 0x08; // BUSY, as a drive under a fuzzer might answer
    answer.sense = {0x70, 0, 0x0B};
    return true;
  };
  const Reply start = Start();
  EXPECT_TRUE(start.executed);
  EXPECT_EQ(start.status, 0x08);
  EXPECT_EQ(start.sense[2], 0x0B);
  EXPECT_FALSE(drive->downloadStarted);
  EXPECT_FALSE(TestUnitReady().executed); // not the hook's: the fault's
  EXPECT_EQ(seen, 2);
}

TEST_F(DriveContract, TheHookMayGiveAnyDataAndTheTransportLimitsIt) {
  drive->hook = [](const sim::ScsiCommand &, sim::ScsiAnswer &answer) {
    answer.dataIn.assign(1000, 0x41);
    answer.sense.assign(40, 0x42);
    answer.status = 0x02;
    return true;
  };
  std::vector<uint8_t> data(300, 0xEE);
  PassThroughRequest request =
      Request({0x12, 0, 0, 0, 0xFF, 0}, SCSI_IOCTL_DATA_IN, 255, data.data());
  request.header.SenseInfoLength = 10;
  const Reply reply = SendRequest(device, request);
  ASSERT_TRUE(reply.executed);
  EXPECT_EQ(data[254], 0x41);
  EXPECT_EQ(data[255], 0xEE);
  EXPECT_EQ(request.senseArea[9], 0x42);
  EXPECT_EQ(request.senseArea[10], 0x00);
}

TEST_F(DriveContract, CommandsAreRecordedAsSent) {
  Sleep(40);
  ASSERT_TRUE(IsGood(Start()));
  ASSERT_TRUE(IsGood(Piece(0)));
  ASSERT_EQ(drive->commands.size(), 2u);
  const sim::ScsiCommand &start = drive->commands[0];
  EXPECT_EQ(start.number, 1);
  EXPECT_EQ(start.cdb, std::vector<uint8_t>({0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0, 0}));
  EXPECT_EQ(start.dataIn, SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(start.length, 0u);
  EXPECT_EQ(start.timeout, 60u);
  EXPECT_EQ(start.at, 40u);
  EXPECT_TRUE(start.data.empty());
  const sim::ScsiCommand &first = drive->commands[1];
  EXPECT_EQ(first.data, std::vector<uint8_t>(kPiece, 0));
  EXPECT_EQ(first.length, kPiece);
}

} // namespace
