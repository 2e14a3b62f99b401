// The SCSI commands the update procedure sends to the target drive (the low
// byte of g_TargetDrive). Each returns true exactly when the drive completed
// the command with GOOD status; g_SenseData then holds zeros, and after a
// refusal the drive's sense data (zeros again when the request never reached
// the drive, which the transport has reported on standard output).
#pragma once

#include "platform/kernel32.h"

// Standard INQUIRY data, 255 bytes, into `buffer` (at least 255 bytes; bytes
// 0-254 are zeroed before the command, byte 255 and beyond are not touched).
bool Inquiry(BYTE *buffer);

// TEST UNIT READY, without data.
bool TestUnitReady();

// WRITE BUFFER with `mode` and `bufferId`, sending `length` bytes of `data` to
// buffer offset `offset`. Only bits 23-0 of offset and length go into the
// command block; the whole length is the transfer length.
bool WriteBuffer(BYTE mode, BYTE bufferId, DWORD offset, DWORD length, const BYTE *data);

// READ BUFFER with `mode` and `bufferId`, reading `length` bytes from buffer
// offset `offset` into `data` (zeroed first). Bits 23-0 as for WriteBuffer.
bool ReadBuffer(BYTE mode, BYTE bufferId, DWORD offset, DWORD length, BYTE *data);

// WRITE BUFFER mode 1 with 0x0B in byte 9 and no data: readies the drive for
// an image.
bool StartFirmwareDownload();

// WRITE BUFFER mode 7 with 0x1B 0x12 in bytes 10-11 and no data: the drive
// saves the downloaded image and reports progress through TestUnitReady.
bool CommitFirmwareDownload();
