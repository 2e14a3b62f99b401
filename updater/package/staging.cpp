#include "updater/package/staging.h"

#include <string.h>

#include "updater/package/package.h"

namespace {

constexpr DWORD PIECE_LENGTH = 4096;                // bytes per file write
constexpr DWORD RANDOM_BYTES = 16;                  // 128 bits make the folder name unguessable
constexpr int FOLDER_ATTEMPTS = 4;                  // new names to try when one is taken
constexpr size_t CMDLINE_LENGTH = 2 * MAX_PATH + 8; // two quoted paths and a blank

// Writes `size` bytes into a new file that no one else may open meanwhile,
// then reopens it for reading with only other readers let in (no writing,
// renaming or deleting while *phLocked stays open) and reads it back: the file
// must hold exactly the bytes written. Returns false on any failure. Either
// way *phLocked is INVALID_HANDLE_VALUE or the locked handle, which the caller
// closes, and *pbCreated tells whether the file was made (the caller deletes it).
bool WriteLockedFile(LPCWSTR szPath, const BYTE *pBytes, DWORD size, HANDLE *phLocked,
                     bool *pbCreated) {
  *phLocked = INVALID_HANDLE_VALUE;
  HANDLE hFile =
      CreateFileW(szPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  *pbCreated = hFile != INVALID_HANDLE_VALUE;
  if (hFile == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool bWritten = true;
  for (DWORD dwDone = 0; dwDone < size;) {
    DWORD dwPiece = size - dwDone > PIECE_LENGTH ? PIECE_LENGTH : size - dwDone;
    DWORD dwWritten = 0;
    if (!WriteFile(hFile, pBytes + dwDone, dwPiece, &dwWritten, NULL) || dwWritten != dwPiece) {
      bWritten = false;
      break;
    }
    dwDone += dwPiece;
  }
  CloseHandle(hFile);
  if (!bWritten) {
    return false;
  }

  // Between the close and this open another process could have slipped in;
  // the read-back below shows whether it changed anything.
  *phLocked = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
  if (*phLocked == INVALID_HANDLE_VALUE) {
    return false;
  }
  BYTE check[PIECE_LENGTH];
  for (DWORD dwDone = 0; dwDone < size;) {
    DWORD dwPiece = size - dwDone > PIECE_LENGTH ? PIECE_LENGTH : size - dwDone;
    DWORD dwRead = 0;
    if (!ReadFile(*phLocked, check, dwPiece, &dwRead, NULL) || dwRead != dwPiece ||
        memcmp(check, pBytes + dwDone, dwPiece) != 0) {
      return false;
    }
    dwDone += dwPiece;
  }
  DWORD dwRead = 0;
  return ReadFile(*phLocked, check, 1, &dwRead, NULL) && dwRead == 0;
}

// Creates a new, empty folder under the temporary folder with a name made of
// random bytes. Returns false when none could be created.
bool CreatePrivateFolder(LPWSTR szFolder) {
  WCHAR szTempPath[MAX_PATH];
  memset(szTempPath, 0, sizeof(szTempPath));
  DWORD dwLength = GetTempPathW(MAX_PATH, szTempPath);
  if (dwLength == 0 || dwLength >= MAX_PATH) {
    return false;
  }
  for (int attempt = 0; attempt < FOLDER_ATTEMPTS; attempt++) {
    UCHAR random[RANDOM_BYTES];
    if (BCryptGenRandom(NULL, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
      return false;
    }
    WCHAR szName[2 * RANDOM_BYTES + 1];
    for (DWORD i = 0; i < RANDOM_BYTES; i++) {
      szName[2 * i] = L"0123456789abcdef"[random[i] >> 4];
      szName[2 * i + 1] = L"0123456789abcdef"[random[i] & 0x0F];
    }
    szName[2 * RANDOM_BYTES] = 0;
    if (FormatWide(szFolder, MAX_PATH, L"%svx72m-%s", szTempPath, szName) < 0) {
      return false;
    }
    // CreateDirectoryW fails when anything of that name exists: the folder
    // is ours alone, never one planted beforehand.
    if (CreateDirectoryW(szFolder, NULL)) {
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return false;
}

} // namespace

bool VerifyFirmwarePackage(const BYTE *pPackage, DWORD size) {
  WCHAR szTargetFolder[MAX_PATH];
  WCHAR FWFileName[MAX_PATH];
  WCHAR VerifierFileName[MAX_PATH];
  WCHAR szCmdLine[CMDLINE_LENGTH];
  memset(szTargetFolder, 0, sizeof(szTargetFolder));
  memset(FWFileName, 0, sizeof(FWFileName));
  memset(VerifierFileName, 0, sizeof(VerifierFileName));
  memset(szCmdLine, 0, sizeof(szCmdLine));
  HANDLE hPackage = INVALID_HANDLE_VALUE;
  HANDLE hVerifier = INVALID_HANDLE_VALUE;
  bool bPackageCreated = false;
  bool bVerifierCreated = false;
  DWORD VerifyResult = 1; // not verified until the verifier says so

  if (!CreatePrivateFolder(szTargetFolder)) {
    return false;
  }

  bool bStaged =
      FormatWide(FWFileName, MAX_PATH, L"%s\\FW.bin", szTargetFolder) >= 0 &&
      FormatWide(VerifierFileName, MAX_PATH, L"%s\\SIGNVFY.EXE", szTargetFolder) >= 0 &&
      FormatWide(szCmdLine, CMDLINE_LENGTH, L"\"%s\" \"%s\"", VerifierFileName, FWFileName) >= 0 &&
      WriteLockedFile(FWFileName, pPackage, size, &hPackage, &bPackageCreated);
  if (bStaged) {
    HRSRC hResource = FindResourceW(NULL, MAKEINTRESOURCEW(VERIFIER_RESOURCE_ID), RT_RCDATA);
    HGLOBAL hLoaded = hResource != NULL ? LoadResource(NULL, hResource) : NULL;
    const BYTE *pVerifier = hLoaded != NULL ? (const BYTE *)LockResource(hLoaded) : NULL;
    bStaged = pVerifier != NULL &&
              WriteLockedFile(VerifierFileName, pVerifier, SizeofResource(NULL, hResource),
                              &hVerifier, &bVerifierCreated);
  }

  if (bStaged) {
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof(si));
    memset(&pi, 0, sizeof(pi));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.wShowWindow = SW_HIDE;
    if (CreateProcessW(NULL, szCmdLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
      DWORD dwExitCode = 1;
      if (WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(pi.hProcess, &dwExitCode)) {
        VerifyResult = dwExitCode;
      }
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }

  // One way out: unlock, delete both files (whichever exist) and the folder.
  if (hPackage != INVALID_HANDLE_VALUE) {
    CloseHandle(hPackage);
  }
  if (hVerifier != INVALID_HANDLE_VALUE) {
    CloseHandle(hVerifier);
  }
  if (bPackageCreated) {
    DeleteFileW(FWFileName);
  }
  if (bVerifierCreated) {
    DeleteFileW(VerifierFileName);
  }
  RemoveDirectoryW(szTargetFolder);
  return VerifyResult == 0;
}
