// Finding the optical drives and, among them, the drive this updater serves.
#pragma once

#include "platform/kernel32.h"

// One entry per letter A-Z, so every optical drive of a machine gets an index
// and the enumeration can never run past the table. Indexes stay 8-bit, and
// 0xFF still means "no drive".
const int kMaxOpticalDrives = 26;

// Entry i: the ASCII letter of the optical drive with index i, in ascending
// letter order; entries after the last drive are 0.
extern char g_DriveLetters[kMaxOpticalDrives];
// -1 while no target is known, then the target's drive index; users take its
// low byte.
extern int32_t g_TargetDrive;

// How the process ends when no target drive is found: exit() with the status.
// Tests put an observer here; when it returns, FindTargetDrive returns too,
// with g_TargetDrive still -1.
extern void (*g_EndProcess)(int exitStatus);

// The default of g_EndProcess: exit() with `exitStatus`; does not return.
void ExitUpdater(int exitStatus);

// Returns the number of letters A-Z whose drive type is DRIVE_CDROM and fills
// g_DriveLetters with them (zeroed first).
BYTE EnumOpticalDrives();

// Reads the 28-character identification (INQUIRY bytes 8-35) of drive
// `drive` into `name` (at least 29 bytes) and ends it with a zero byte at
// position 28. After any failure the first 4 bytes of `name` are zero and the
// rest is as it was. Leaves g_SenseData alone; the transport's device cache is
// open for `drive` afterwards unless opening it failed.
void GetDeviceName(BYTE drive, char *name);

// Sets g_TargetDrive to the index of the first optical drive whose
// identification holds "KORVANEXBD-RE VX72M"; later drives are not queried.
// When none does, reports MSG_NO_UPDATE_NEEDED, waits for a key and ends the
// process with status 0 through g_EndProcess.
void FindTargetDrive();
