#include "updater/drive/mcn.h"

#include <string.h>

#include "updater/drive/discovery.h"

HANDLE g_hMcnDevice = INVALID_HANDLE_VALUE;
BYTE g_McnDrive = 0xFF;

bool ControlMcn(BYTE drive, BYTE flag) {
  WCHAR szTemp[100];
  memset(szTemp, 0, sizeof(szTemp));

  if (g_hMcnDevice == INVALID_HANDLE_VALUE || g_McnDrive != drive) {
    if (g_hMcnDevice != INVALID_HANDLE_VALUE) {
      CloseHandle(g_hMcnDevice);
      g_hMcnDevice = INVALID_HANDLE_VALUE;
    }
    // An index without a letter names no device: treated as a failed open.
    char letter = drive < kMaxOpticalDrives ? g_DriveLetters[drive] : 0;
    if (letter != 0) {
      FormatWide(szTemp, 100, L"\\\\.\\%c:", (WCHAR)letter);
      g_hMcnDevice = CreateFileW(szTemp, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    }
    if (g_hMcnDevice == INVALID_HANDLE_VALUE) {
      g_McnDrive = 0xFF;
      return false;
    }
  }
  g_McnDrive = drive;

  PREVENT_MEDIA_REMOVAL request;
  memset(&request, 0, sizeof(request));
  request.PreventMediaRemoval = flag;
  DWORD bytesReturned = 0;
  return DeviceIoControl(g_hMcnDevice, IOCTL_STORAGE_MCN_CONTROL, &request, sizeof(request), NULL,
                         0, &bytesReturned, NULL) != 0;
}
