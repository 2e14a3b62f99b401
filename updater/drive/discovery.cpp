#include "updater/drive/discovery.h"

#include <stdlib.h>
#include <string.h>

#include "updater/drive/transport.h"
#include "updater/messages.h"

char g_DriveLetters[kMaxOpticalDrives];
int32_t g_TargetDrive = -1;

namespace {

const char kTargetIdentity[] = "KORVANEXBD-RE VX72M";
const size_t kIdentificationLength = 28;
const size_t kInquiryBufferSize = 200;
const DWORD kInquiryLength = 192;

} // namespace

void ExitUpdater(int exitStatus) {
  exit(exitStatus);
}

void (*g_EndProcess)(int exitStatus) = ExitUpdater;

BYTE EnumOpticalDrives() {
  memset(g_DriveLetters, 0, sizeof(g_DriveLetters));
  BYTE count = 0;
  for (char letter = 'A'; letter <= 'Z'; letter++) {
    WCHAR driveRootDir[10];
    memset(driveRootDir, 0, sizeof(driveRootDir));
    FormatWide(driveRootDir, 10, L"%c:\\", (WCHAR)letter);
    if (GetDriveTypeW(driveRootDir) == DRIVE_CDROM && count < kMaxOpticalDrives) {
      g_DriveLetters[count] = letter;
      count++;
    }
  }
  return count;
}

void GetDeviceName(BYTE drive, char *name) {
  memset(name, 0, 4);

  BYTE buffer[kInquiryBufferSize];
  PassThroughRequest sptwb;
  memset(buffer, 0, sizeof(buffer));
  memset(&sptwb, 0, sizeof(sptwb));
  sptwb.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptwb.header.CdbLength = 6;
  sptwb.header.SenseInfoLength = 24;
  sptwb.header.DataIn = SCSI_IOCTL_DATA_IN;
  sptwb.header.DataTransferLength = kInquiryLength;
  sptwb.header.TimeOutValue = 2;
  sptwb.header.DataBuffer = buffer;
  sptwb.header.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
  sptwb.header.Cdb[0] = 0x12; // INQUIRY, standard data
  sptwb.header.Cdb[4] = 0xC0; // allocation length 192

  if (!ExecATAPICommand(drive, &sptwb)) {
    return;
  }
  if (sptwb.header.ScsiStatus != 0) {
    OutputDebugStringW(L"\n GetDeviceName: Command complete with error\n");
    return;
  }
  memcpy(name, buffer + 8, kIdentificationLength);
  name[kIdentificationLength] = 0;
}

void FindTargetDrive() {
  g_TargetDrive = -1;
  BYTE count = EnumOpticalDrives();
  for (BYTE drive = 0; drive < count; drive++) {
    char szTemp[128];
    memset(szTemp, 0, sizeof(szTemp));
    GetDeviceName(drive, szTemp);
    // strstr stops at the first zero byte, so an identity behind one is not
    // seen; the comparison is exact, letter case included.
    if (strstr(szTemp, kTargetIdentity) != NULL) {
      g_TargetDrive = drive;
      break;
    }
  }
  if (g_TargetDrive == -1) {
    ReportAndWait(MSG_NO_UPDATE_NEEDED);
    g_EndProcess(0);
  }
}
