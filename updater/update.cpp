#include "updater/update.h"

#include <string.h>

#include "updater/drive/commands.h"
#include "updater/drive/transport.h"
#include "updater/messages.h"
#include "updater/package/package.h"
#include "updater/package/staging.h"

namespace {

constexpr BYTE BUFFER_MODE = 6; // READ/WRITE BUFFER mode for the image and the revision block
constexpr BYTE BUFFER_ID = 0;
constexpr DWORD REVISION_BLOCK_OFFSET = 0x1EC000;
constexpr DWORD REVISION_BLOCK_LENGTH = 256;
constexpr int REVISION_TAG_POSITION = 24;
constexpr int IDENTIFICATION_END = 36; // INQUIRY bytes 8-35 are the identification

constexpr double PROGRESS_DIVISOR = 2097229.0; // the drive's 100 %: the package size
constexpr DWORD POLL_PAUSE_MS = 500;
constexpr DWORD COMPLETION_PAUSE_MS = 200;

// A drive writes its 2 MiB of flash in well under two minutes; ten minutes of
// polling (1,200 pauses of 500 ms) leaves a wide margin, and a drive that has
// not finished by then will not.
constexpr int POLL_LIMIT = 1200;
// A drive that gives no answer at all (the request fails, or no sense data) to
// this many polls in a row, five seconds and more, is taken as gone.
constexpr int SILENT_POLL_LIMIT = 10;

BYTE DriveInfoFromDrive[256];
BYTE FWData[CHUNK_LENGTH];

bool IsTag(const BYTE *tag, const char *text) {
  return memcmp(tag, text, 4) == 0;
}

bool SenseIs(BYTE key, BYTE asc, BYTE ascq) {
  return g_SenseData[2] == key && g_SenseData[12] == asc && g_SenseData[13] == ascq;
}

bool SenseIsEmpty() {
  for (BYTE b : g_SenseData) {
    if (b != 0) {
      return false;
    }
  }
  return true;
}

// Reads the identification with INQUIRY into DriveInfoFromDrive and ends it
// as a string. Inquiry zeroes the buffer first, so a request that never
// reached the drive leaves it empty.
const char *ReadIdentification() {
  Inquiry(DriveInfoFromDrive);
  DriveInfoFromDrive[IDENTIFICATION_END] = 0;
  return (const char *)DriveInfoFromDrive + 8;
}

// While the drive takes its new firmware, neither Ctrl+C nor Ctrl+Break may
// end the updater half-way, and the machine must not go to sleep.
BOOL WINAPI IgnoreInterrupt(DWORD ctrlType) {
  return ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT;
}

void ProtectDownload() {
  SetConsoleCtrlHandler(IgnoreInterrupt, TRUE);
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

void ReleaseDownload() {
  SetThreadExecutionState(ES_CONTINUOUS);
  SetConsoleCtrlHandler(IgnoreInterrupt, FALSE);
}

// Sends the image in 128 chunks of 16 KiB; the signature trailer stays behind.
bool DownloadImage(const BYTE *pPackage) {
  for (DWORD offset = 0; offset < IMAGE_LENGTH; offset += CHUNK_LENGTH) {
    memcpy(FWData, pPackage + IMAGE_OFFSET + offset, CHUNK_LENGTH);
    if (!WriteBuffer(BUFFER_MODE, BUFFER_ID, offset, CHUNK_LENGTH, FWData)) {
      return false;
    }
  }
  return true;
}

// Follows the drive's long write with TEST UNIT READY, pausing between every
// two polls. Returns true when the drive reports completion (GOOD or the reset
// unit attention), false when the poll runs out or the drive falls silent.
bool FollowLongWrite() {
  int silentPolls = 0;
  for (int poll = 0; poll < POLL_LIMIT; poll++) {
    if (poll > 0) {
      Sleep(POLL_PAUSE_MS);
    }
    if (TestUnitReady()) {
      return true;
    }
    if (SenseIs(0x02, 0x04, 0x08)) {
      DWORD value = ((DWORD)g_SenseData[3] << 24) | ((DWORD)g_SenseData[4] << 16) |
                    ((DWORD)g_SenseData[5] << 8) | g_SenseData[6];
      int percent = (BYTE)(long long)((double)value / PROGRESS_DIVISOR * 100.0);
      ConsolePrint("FW Updating : %d %%\r", percent);
    } else if (SenseIs(0x06, 0x29, 0x00)) {
      return true;
    }
    silentPolls = SenseIsEmpty() ? silentPolls + 1 : 0;
    if (silentPolls == SILENT_POLL_LIMIT) {
      return false;
    }
  }
  return false;
}

// From the first download command to the end of the poll. Returns the message
// that ends the update, or NULL when the drive has its new firmware.
const char *DownloadAndCommit(const BYTE *pPackage) {
  if (!StartFirmwareDownload() || !DownloadImage(pPackage) || !CommitFirmwareDownload()) {
    return MSG_UPDATE_FAILED;
  }
  if (!FollowLongWrite()) {
    ConsolePrint("\nThe drive did not report the end of the update.\n");
    return MSG_UPDATE_FAILED;
  }
  ConsolePrint("FW Updating : 100 %%\n\n");
  Sleep(COMPLETION_PAUSE_MS);
  TestUnitReady();
  Sleep(COMPLETION_PAUSE_MS);
  TestUnitReady();
  return NULL;
}

} // namespace

void UpdateFirmware() {
  ConsolePrint("Tervalune FW Updater for VX72M (PR05)\n\n");
  ConsolePrint("Target Drive : %s\n\n", ReadIdentification());

  if (!ReadBuffer(BUFFER_MODE, BUFFER_ID, REVISION_BLOCK_OFFSET, REVISION_BLOCK_LENGTH,
                  DriveInfoFromDrive)) {
    return; // the transport has said what went wrong, if anything
  }
  const BYTE *tag = DriveInfoFromDrive + REVISION_TAG_POSITION;
  if (IsTag(tag, "PR05")) {
    ReportAndWait(MSG_ALREADY_LATEST);
    return;
  }
  if (!IsTag(tag, "PR01") && !IsTag(tag, "PR02") && !IsTag(tag, "PR03") && !IsTag(tag, "PR04")) {
    ReportAndWait(MSG_NO_UPDATE_NEEDED);
    return;
  }

  TestUnitReady();
  if (g_SenseData[2] != 0x02 || g_SenseData[12] != 0x3A) {
    ReportAndWait(MSG_DISC_INSERTED);
    return;
  }

  HRSRC hResource = FindResourceW(NULL, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID), RT_RCDATA);
  HGLOBAL hLoaded = hResource != NULL ? LoadResource(NULL, hResource) : NULL;
  const BYTE *pPackage = hLoaded != NULL ? (const BYTE *)LockResource(hLoaded) : NULL;
  if (pPackage == NULL || SizeofResource(NULL, hResource) != PACKAGE_SIZE) {
    ReportAndWait(MSG_LOAD_FAILED);
    return;
  }
  if (!VerifyFirmwarePackage(pPackage, PACKAGE_SIZE)) {
    ReportAndWait(MSG_LOAD_FAILED);
    return;
  }

  ProtectDownload();
  const char *failure = DownloadAndCommit(pPackage);
  ReleaseDownload();
  if (failure != NULL) {
    ReportAndWait(failure);
    return;
  }

  ConsolePrint("%s\n\n", MSG_UPDATE_COMPLETE);
  ConsolePrint("After FW Updating : %s\n\n", ReadIdentification());
  ConsolePrint("%s\n", MSG_PRESS_ANY_KEY);
  _getch();
}
