#include "updater/drive/drive_state.h"

#include <string.h>

#include "updater/drive/discovery.h"
#include "updater/drive/mcn.h"
#include "updater/drive/transport.h"

void ResetDriveState() {
  memset(g_DriveLetters, 0, sizeof(g_DriveLetters));
  g_TargetDrive = -1;
  g_hDevice = INVALID_HANDLE_VALUE;
  g_DeviceDrive = 0xFF;
  memset(g_SenseData, 0, sizeof(g_SenseData));
  g_hMcnDevice = INVALID_HANDLE_VALUE;
  g_McnDrive = 0xFF;
  g_EndProcess = ExitUpdater;
}
