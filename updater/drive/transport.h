// The SCSI pass-through transport: every command to an optical drive goes
// through here, over one cached device handle.
#pragma once

#include "platform/kernel32.h"

// The open device through which commands go; INVALID_HANDLE_VALUE when none.
extern HANDLE g_hDevice;
// The drive index g_hDevice belongs to; 0xFF when no handle is cached.
extern BYTE g_DeviceDrive;
// Bytes 0-23 of the sense data of the last IssueCommand that ended with a
// SCSI status other than GOOD; all zero after any other IssueCommand.
extern BYTE g_SenseData[24];

// Hands the completely prepared `sptwb` to the pass-through interface of the
// optical drive with index `drive` and returns true when the platform executed
// it (whatever the SCSI status; the platform writes ScsiStatus, the sense area
// and data-in bytes back). The request is neither read nor changed here.
// Reuses g_hDevice when it belongs to `drive`; otherwise closes it, checks the
// drive type and opens the drive, leaving g_hDevice/g_DeviceDrive open for
// `drive` or empty when that fails. False: the request did not reach the drive
// and one line went to standard output ("Error : ...", without a line feed),
// or a note to the debugger channel when the letter is not an optical drive.
bool ExecATAPICommand(BYTE drive, PassThroughRequest *sptwb);

// Sends the 12-byte command block `cdb` to drive `drive` with `length` bytes
// of data at `buffer` (null when length is 0), data in when `direction` is 1
// and data out for any other value, and a timeout of `timeout` seconds. For a
// data-in command the first `length` bytes of `buffer` are zeroed first.
// Returns true exactly when the command completed with GOOD status. Leaves
// g_SenseData holding the drive's sense data when the command was executed
// with another status, and all zero otherwise.
bool IssueCommand(BYTE drive, const BYTE *cdb, void *buffer, DWORD length, BYTE direction,
                  BYTE timeout);
