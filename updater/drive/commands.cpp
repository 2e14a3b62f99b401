#include "updater/drive/commands.h"

#include <string.h>

#include "updater/drive/discovery.h"
#include "updater/drive/transport.h"

namespace {

const BYTE kDataIn = 1;
const BYTE kDataOut = 0;
const BYTE kShortTimeout = 5;
const BYTE kBufferTimeout = 60;

BYTE TargetDrive() {
  return (BYTE)(g_TargetDrive & 0xFF);
}

// Places the 24-bit buffer offset and length, most significant byte first.
void PutBufferRange(BYTE *byCDB, DWORD offset, DWORD length) {
  byCDB[3] = (BYTE)(offset >> 16);
  byCDB[4] = (BYTE)(offset >> 8);
  byCDB[5] = (BYTE)offset;
  byCDB[6] = (BYTE)(length >> 16);
  byCDB[7] = (BYTE)(length >> 8);
  byCDB[8] = (BYTE)length;
}

} // namespace

bool Inquiry(BYTE *buffer) {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  byCDB[0] = 0x12;
  byCDB[4] = 0xFF;
  return IssueCommand(TargetDrive(), byCDB, buffer, 255, kDataIn, kShortTimeout);
}

bool TestUnitReady() {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  return IssueCommand(TargetDrive(), byCDB, NULL, 0, kDataIn, kShortTimeout);
}

bool WriteBuffer(BYTE mode, BYTE bufferId, DWORD offset, DWORD length, const BYTE *data) {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  byCDB[0] = 0x3B;
  byCDB[1] = mode;
  byCDB[2] = bufferId;
  PutBufferRange(byCDB, offset, length);
  // A data-out command only reads the buffer; the transport's record takes a
  // plain pointer.
  return IssueCommand(TargetDrive(), byCDB, const_cast<BYTE *>(data), length, kDataOut,
                      kBufferTimeout);
}

bool ReadBuffer(BYTE mode, BYTE bufferId, DWORD offset, DWORD length, BYTE *data) {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  byCDB[0] = 0x3C;
  byCDB[1] = mode;
  byCDB[2] = bufferId;
  PutBufferRange(byCDB, offset, length);
  return IssueCommand(TargetDrive(), byCDB, data, length, kDataIn, kBufferTimeout);
}

bool StartFirmwareDownload() {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  byCDB[0] = 0x3B;
  byCDB[1] = 0x01;
  byCDB[9] = 0x0B;
  return IssueCommand(TargetDrive(), byCDB, NULL, 0, kDataOut, kBufferTimeout);
}

bool CommitFirmwareDownload() {
  BYTE byCDB[12];
  memset(byCDB, 0, sizeof(byCDB));
  byCDB[0] = 0x3B;
  byCDB[1] = 0x07;
  byCDB[10] = 0x1B;
  byCDB[11] = 0x12;
  return IssueCommand(TargetDrive(), byCDB, NULL, 0, kDataOut, kBufferTimeout);
}
