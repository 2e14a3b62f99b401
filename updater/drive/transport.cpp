#include "updater/drive/transport.h"

#include <string.h>

#include "updater/drive/discovery.h"
#include "updater/messages.h"

HANDLE g_hDevice = INVALID_HANDLE_VALUE;
BYTE g_DeviceDrive = 0xFF;
BYTE g_SenseData[24];

namespace {

const BYTE kSenseLength = 24;
const BYTE kCdbLength = 12;

} // namespace

bool ExecATAPICommand(BYTE drive, PassThroughRequest *sptwb) {
  WCHAR driveString[10];
  memset(driveString, 0, sizeof(driveString));

  if (g_hDevice == INVALID_HANDLE_VALUE || g_DeviceDrive != drive) {
    if (g_hDevice != INVALID_HANDLE_VALUE) {
      CloseHandle(g_hDevice);
      g_hDevice = INVALID_HANDLE_VALUE;
    }

    // An index without a letter (past the table, or 0xFF for "no target")
    // has no device to open; it is refused like a letter that is not optical.
    char letter = drive < kMaxOpticalDrives ? g_DriveLetters[drive] : 0;
    bool optical = false;
    if (letter != 0) {
      FormatWide(driveString, 10, L"%c:\\", (WCHAR)letter);
      optical = GetDriveTypeW(driveString) == DRIVE_CDROM;
    }
    if (!optical) {
      OutputDebugStringW(L"\n ExecATAPICommand: This Drive is not Optical Device Drive\n");
      g_DeviceDrive = 0xFF;
      return false;
    }

    memset(driveString, 0, sizeof(driveString));
    FormatWide(driveString, 10, L"\\\\.\\%c:", (WCHAR)letter);
    HANDLE device =
        CreateFileW(driveString, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE) {
      int errorCode = (int)GetLastError();
      WCHAR szTemp[100];
      memset(szTemp, 0, sizeof(szTemp));
      FormatWide(szTemp, 100, L"Error occur during getting the handle of Device\nError Code %d",
                 errorCode);
      ConsolePrintWide(L"Error : %s", szTemp);
      g_DeviceDrive = 0xFF;
      return false;
    }
    g_hDevice = device;
  }
  g_DeviceDrive = drive;

  DWORD bytesReturned = 0;
  if (DeviceIoControl(g_hDevice, IOCTL_SCSI_PASS_THROUGH_DIRECT, sptwb, sizeof(PassThroughRequest),
                      sptwb, sizeof(PassThroughRequest), &bytesReturned, NULL)) {
    return true;
  }
  int errorCode = (int)GetLastError();
  WCHAR szTemp[100];
  memset(szTemp, 0, sizeof(szTemp));
  FormatWide(szTemp, 100,
             L"DeviceIoControl Error: Error Code %d\nI can't issue Command through SPTI",
             errorCode);
  ConsolePrintWide(L"Error : %s", szTemp);
  return false;
}

bool IssueCommand(BYTE drive, const BYTE *cdb, void *buffer, DWORD length, BYTE direction,
                  BYTE timeout) {
  memset(g_SenseData, 0, sizeof(g_SenseData));

  PassThroughRequest sptwb;
  memset(&sptwb, 0, sizeof(sptwb));
  sptwb.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptwb.header.CdbLength = kCdbLength;
  sptwb.header.SenseInfoLength = kSenseLength;
  sptwb.header.DataIn = direction == 1 ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  sptwb.header.DataTransferLength = length;
  sptwb.header.TimeOutValue = timeout;
  sptwb.header.DataBuffer = length != 0 ? buffer : NULL;
  sptwb.header.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
  if (direction == 1 && length != 0) {
    memset(buffer, 0, length);
  }
  memcpy(sptwb.header.Cdb, cdb, kCdbLength);

  if (!ExecATAPICommand(drive, &sptwb)) {
    return false;
  }
  if (sptwb.header.ScsiStatus != 0) {
    // Sense bytes the platform did not write are still zero from above.
    memcpy(g_SenseData, sptwb.senseArea, sizeof(g_SenseData));
    return false;
  }
  return true;
}
