// Switching the platform's media change notification for one drive off and
// on, over a device handle of its own.
#pragma once

#include "platform/kernel32.h"

// The device opened for notification control; INVALID_HANDLE_VALUE when none.
extern HANDLE g_hMcnDevice;
// The drive index g_hMcnDevice belongs to; 0xFF when none.
extern BYTE g_McnDrive;

// Switches media change notification off (`flag` 1) or on (`flag` 0) for the
// drive with index `drive`. Returns true when the platform carried out the
// request. Reuses g_hMcnDevice when it belongs to `drive`, else closes it and
// opens the drive; a failed open leaves no handle and g_McnDrive 0xFF, so the
// next call tries again. Writes nothing anywhere.
bool ControlMcn(BYTE drive, BYTE flag);
