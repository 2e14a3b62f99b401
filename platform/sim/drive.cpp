// The simulated optical drives: the VX72M's answers to the commands of a
// firmware update, kept as strictly as the real drive keeps them, and plain
// other drives that only identify themselves.
#include <algorithm>
#include <cstring>

#include "platform/sim/drive_model.h"

namespace sim {

namespace {

constexpr uint8_t kCheckCondition = 0x02;

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kUnitAttention = 0x06;

constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kInvalidField = 0x24;
constexpr uint8_t kSequenceError = 0x2C;

constexpr uint32_t kPieceSize = 0x4000;
constexpr uint32_t kPieceCount = kFirmwareSize / kPieceSize;
// The drive counts its long write up to the size of the whole package.
constexpr uint32_t kProgressComplete = 2097229;
constexpr size_t kInquiryDataSize = 96;
constexpr size_t kIdentificationSize = 28;

ScsiAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq, uint32_t information = 0) {
  ScsiAnswer answer;
  answer.status = kCheckCondition;
  const std::array<uint8_t, 18> sense = Sense(key, asc, ascq, information);
  answer.sense.assign(sense.begin(), sense.end());
  return answer;
}

ScsiAnswer Good() {
  return ScsiAnswer{};
}

uint32_t Be24(const uint8_t *bytes) {
  return (uint32_t(bytes[0]) << 16) | (uint32_t(bytes[1]) << 8) | bytes[2];
}

// The command block as the drive reads it: bytes beyond CdbLength are zero.
std::array<uint8_t, 16> Block(const ScsiCommand &command) {
  std::array<uint8_t, 16> cdb{};
  std::copy_n(command.cdb.begin(), std::min<size_t>(command.cdb.size(), cdb.size()), cdb.begin());
  return cdb;
}

// A command with data whose direction is not the one its opcode moves data in.
bool WrongDirection(const ScsiCommand &command, uint8_t expected) {
  return command.length > 0 && command.dataIn != expected;
}

uint32_t Progress(const Drive &drive) {
  const uint64_t elapsed = Now() - drive.committedAt;
  if (drive.longWriteMs == 0 || elapsed >= drive.longWriteMs) {
    return kProgressComplete;
  }
  // Rounded up, so a report shows at least the share of the time gone by.
  return static_cast<uint32_t>((elapsed * kProgressComplete + drive.longWriteMs - 1) /
                               drive.longWriteMs);
}

std::vector<uint8_t> Identification(const Drive &drive) {
  std::vector<uint8_t> id(kIdentificationSize, ' ');
  if (!drive.identification.empty()) {
    std::copy_n(drive.identification.begin(),
                std::min(drive.identification.size(), kIdentificationSize), id.begin());
  } else if (drive.firmware.size() >= kRevisionBlockOffset + kIdentificationSize) {
    std::copy_n(drive.firmware.begin() + kRevisionBlockOffset, kIdentificationSize, id.begin());
  }
  return id;
}

ScsiAnswer Inquiry(const Drive &drive, const ScsiCommand &command) {
  const std::array<uint8_t, 16> cdb = Block(command);
  if ((cdb[1] & 0x01) != 0 || cdb[2] != 0 || WrongDirection(command, SCSI_IOCTL_DATA_IN)) {
    return CheckCondition(kIllegalRequest, kInvalidField, 0);
  }
  std::vector<uint8_t> data(kInquiryDataSize, 0);
  data[0] = 0x05; // CD/DVD device
  data[1] = 0x80; // removable medium
  data[2] = 0x05; // SPC-3
  data[3] = 0x32; // response data format 2
  data[4] = kInquiryDataSize - 5;
  const std::vector<uint8_t> id = Identification(drive);
  std::copy(id.begin(), id.end(), data.begin() + 8);
  const uint32_t allocation = (uint32_t(cdb[3]) << 8) | cdb[4];
  data.resize(std::min<size_t>({data.size(), allocation, command.length}));
  ScsiAnswer answer;
  answer.dataIn = data;
  return answer;
}

ScsiAnswer ReadBuffer(const Drive &drive, const ScsiCommand &command) {
  const std::array<uint8_t, 16> cdb = Block(command);
  const uint32_t offset = Be24(&cdb[3]);
  const uint32_t length = Be24(&cdb[6]);
  if ((cdb[1] & 0x1F) != 6 || cdb[2] != 0 || WrongDirection(command, SCSI_IOCTL_DATA_IN) ||
      uint64_t(offset) + length > drive.firmware.size()) {
    return CheckCondition(kIllegalRequest, kInvalidField, 0);
  }
  ScsiAnswer answer;
  const uint32_t count = std::min(length, command.length);
  answer.dataIn.assign(drive.firmware.begin() + offset, drive.firmware.begin() + offset + count);
  return answer;
}

// A refused download command ends the download: the drive forgets the pieces.
ScsiAnswer AbandonDownload(Drive &drive, uint8_t asc) {
  drive.downloadStarted = false;
  drive.piecesReceived = 0;
  drive.received.clear();
  return CheckCondition(kIllegalRequest, asc, 0);
}

ScsiAnswer WriteBuffer(Drive &drive, const ScsiCommand &command) {
  const std::array<uint8_t, 16> cdb = Block(command);
  const uint8_t mode = cdb[1] & 0x1F;
  const uint32_t offset = Be24(&cdb[3]);
  const uint32_t length = Be24(&cdb[6]);
  if (mode == 1) { // start of a download
    if (cdb[2] != 0 || offset != 0 || length != 0 || cdb[9] != 0x0B || cdb[10] != 0 ||
        cdb[11] != 0 || command.length != 0) {
      return AbandonDownload(drive, kInvalidField);
    }
    if (drive.downloadStarted) {
      return AbandonDownload(drive, kSequenceError);
    }
    drive.downloadStarted = true;
    drive.piecesReceived = 0;
    drive.committed = false;
    drive.received.clear();
    return Good();
  }
  if (mode == 6) { // one piece of the image
    if (cdb[2] != 0 || length != kPieceSize || command.length != length ||
        WrongDirection(command, SCSI_IOCTL_DATA_OUT) || command.data.size() != length ||
        offset % kPieceSize != 0 || cdb[9] != 0 || cdb[10] != 0 || cdb[11] != 0) {
      return AbandonDownload(drive, kInvalidField);
    }
    if (!drive.downloadStarted || drive.piecesReceived == kPieceCount ||
        offset != drive.piecesReceived * kPieceSize) {
      return AbandonDownload(drive, kSequenceError);
    }
    drive.received.insert(drive.received.end(), command.data.begin(), command.data.end());
    drive.piecesReceived++;
    return Good();
  }
  if (mode == 7) { // commit
    if (cdb[2] != 0 || offset != 0 || length != 0 || cdb[9] != 0 || cdb[10] != 0x1B ||
        cdb[11] != 0x12 || command.length != 0) {
      return AbandonDownload(drive, kInvalidField);
    }
    if (!drive.downloadStarted || drive.piecesReceived != kPieceCount) {
      return AbandonDownload(drive, kSequenceError);
    }
    drive.downloadStarted = false;
    drive.committed = true;
    drive.writing = true;
    drive.committedAt = Now();
    return Good();
  }
  return AbandonDownload(drive, kInvalidField);
}

ScsiAnswer TestUnitReady(Drive &drive) {
  if (drive.completionPending) {
    drive.completionPending = false;
    return Good();
  }
  switch (drive.media) {
  case Media::Ready:
    return Good();
  case Media::BecomingReady:
    return CheckCondition(kNotReady, 0x04, 0x01);
  case Media::NoDisc:
    break;
  }
  return CheckCondition(kNotReady, 0x3A, 0x00);
}

ScsiAnswer Model(Drive &drive, const ScsiCommand &command) {
  detail::AdvanceDrive(drive);
  if (drive.writing) {
    return CheckCondition(kNotReady, 0x04, 0x08, Progress(drive));
  }
  if (drive.unitAttentionPending) {
    drive.unitAttentionPending = false;
    return CheckCondition(kUnitAttention, 0x29, 0x00);
  }
  switch (command.cdb.empty() ? 0xFF : command.cdb[0]) {
  case kTestUnitReady:
    return TestUnitReady(drive);
  case kInquiry:
    return Inquiry(drive, command);
  case kReadBuffer:
    return ReadBuffer(drive, command);
  case kWriteBuffer:
    return WriteBuffer(drive, command);
  default:
    return CheckCondition(kIllegalRequest, kInvalidOpcode, 0);
  }
}

bool Hits(const Fault &fault, const Drive &drive, const ScsiCommand &command) {
  if (fault.commandNumber > 0 && fault.commandNumber != command.number) {
    return false;
  }
  if (fault.opcode >= 0) {
    if (command.cdb.empty() || command.cdb[0] != fault.opcode) {
      return false;
    }
    if (fault.occurrence > 0) {
      const auto seen =
          std::count_if(drive.commands.begin(), drive.commands.end(), [&](const ScsiCommand &c) {
            return !c.cdb.empty() && c.cdb[0] == fault.opcode;
          });
      if (seen != fault.occurrence) {
        return false;
      }
    }
  }
  return true;
}

ScsiAnswer FaultAnswer(const Fault &fault) {
  ScsiAnswer answer;
  switch (fault.kind) {
  case FaultKind::Transport:
    answer.transportFailure = true;
    answer.error = fault.error;
    break;
  case FaultKind::CheckCondition:
    answer.status = kCheckCondition;
    answer.sense.assign(fault.sense.begin(), fault.sense.end());
    break;
  case FaultKind::Vanish:
    answer.vanish = true;
    break;
  }
  return answer;
}

// A recognisable image: every byte depends on its offset, with the revision
// block in place.
std::vector<uint8_t> Vx72mFirmware(const char *revision) {
  std::vector<uint8_t> image(kFirmwareSize);
  for (uint32_t i = 0; i < kFirmwareSize; i++) {
    image[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
  }
  uint8_t *block = image.data() + kRevisionBlockOffset;
  std::fill_n(block, 256, 0);
  std::memcpy(block, "KORVANEXBD-RE VX72M     ", 24);
  std::memcpy(block + 24, revision, std::min<size_t>(std::strlen(revision), 4));
  std::memcpy(block + 32, "KORVANEX FIRMWARE", 17);
  return image;
}

} // namespace

std::array<uint8_t, 18> Sense(uint8_t key, uint8_t asc, uint8_t ascq, uint32_t information) {
  std::array<uint8_t, 18> sense{};
  sense[0] = information != 0 ? 0xF0 : 0x70; // VALID when INFORMATION is set
  sense[2] = key;
  sense[3] = static_cast<uint8_t>(information >> 24);
  sense[4] = static_cast<uint8_t>(information >> 16);
  sense[5] = static_cast<uint8_t>(information >> 8);
  sense[6] = static_cast<uint8_t>(information);
  sense[7] = 10; // additional sense length
  sense[12] = asc;
  sense[13] = ascq;
  return sense;
}

Drive &AddVx72m(char letter, const char *revision) {
  Drive &drive = detail::PlaceDrive(letter);
  drive.firmware = Vx72mFirmware(revision != nullptr ? revision : "");
  return drive;
}

Drive &AddDrive(char letter, const std::string &identification28) {
  Drive &drive = detail::PlaceDrive(letter);
  drive.firmware.assign(kFirmwareSize, 0);
  drive.identification = identification28;
  return drive;
}

namespace detail {

void AdvanceDrive(Drive &drive) {
  // A drive that vanished stays as it was when it went.
  if (!drive.vanished && drive.writing && !drive.longWriteNeverEnds &&
      Now() - drive.committedAt >= drive.longWriteMs) {
    drive.writing = false;
    drive.firmware = drive.received;
    drive.updated = true;
    drive.unitAttentionPending = drive.resetAfterLongWrite;
    drive.completionPending = true;
  }
}

ScsiAnswer ExecuteCommand(Drive &drive, ScsiCommand command) {
  command.number = static_cast<int>(drive.commands.size()) + 1;
  command.at = Now();
  drive.commands.push_back(command);
  ScsiAnswer answer;
  if (drive.hook && drive.hook(command, answer)) {
    return answer;
  }
  for (const Fault &fault : drive.faults) {
    if (Hits(fault, drive, command)) {
      return FaultAnswer(fault);
    }
  }
  return Model(drive, command);
}

} // namespace detail
} // namespace sim
