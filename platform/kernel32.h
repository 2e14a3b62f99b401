// The one seam between the updater and the machine it runs on.
//
// The updater calls the operating system only through the names declared
// here. On Windows they are the real kernel32 (plus bcrypt for random bytes and
// the C runtime's _getch); everywhere else the simulated machine in
// platform/sim implements them, records every call with its arguments and
// answers as the drives it models would. The values below are the ones the
// updater relies on; the static_asserts at the end hold them to the real
// headers in the Windows builds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX // keep std::min and std::max usable beside windows.h
#endif
#include <windows.h>
#include <bcrypt.h>
#include <conio.h>
#include <ntddscsi.h>
#include <winioctl.h>

#else // the simulated machine

typedef int BOOL;
typedef unsigned char BYTE, UCHAR, BOOLEAN;
typedef unsigned short USHORT, WORD;
typedef uint32_t DWORD, ULONG, UINT;
typedef int32_t LONG, NTSTATUS;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef void *PVOID, *LPVOID;
typedef const void* LPCVOID;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef HANDLE HMODULE, HRSRC, HGLOBAL;
typedef DWORD EXECUTION_STATE;
typedef void* BCRYPT_ALG_HANDLE;
typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrlType);

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAKEINTRESOURCEW(i) ((LPCWSTR)(uintptr_t)(WORD)(i))
#define RT_RCDATA MAKEINTRESOURCEW(10)

// GetDriveTypeW
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

// CreateFileW
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// Error codes the updater and the simulated machine use
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_READY 21
#define ERROR_SHARING_VIOLATION 32
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_IO_DEVICE 1117
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_SEM_TIMEOUT 121

// DeviceIoControl
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014u
#define IOCTL_STORAGE_MCN_CONTROL 0x002D0944u
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef struct _SCSI_PASS_THROUGH_DIRECT {
  USHORT Length;
  UCHAR ScsiStatus;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR CdbLength;
  UCHAR SenseInfoLength;
  UCHAR DataIn;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  PVOID DataBuffer;
  ULONG SenseInfoOffset;
  UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT;

typedef struct _PREVENT_MEDIA_REMOVAL {
  BOOLEAN PreventMediaRemoval;
} PREVENT_MEDIA_REMOVAL;

// Processes
#define STARTF_USESHOWWINDOW 0x00000001u
#define STARTF_USESTDHANDLES 0x00000100u
#define SW_HIDE 0
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Console control and power
#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_CONTINUOUS 0x80000000u

// Random bytes
#define BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002u

// Code pages
#define CP_UTF8 65001u

#endif // _WIN32

#if !defined(_WIN32) && !defined(SIMULATED_MACHINE)
#define SIMULATED_MACHINE 1
#endif

#if defined(SIMULATED_MACHINE)
// The simulated machine (platform/sim) stands in for every operation the
// updater uses. The names are mapped so that a Windows test build can link the
// simulation beside the real kernel32.
#define GetDriveTypeW SimGetDriveTypeW
#define CreateFileW SimCreateFileW
#define CloseHandle SimCloseHandle
#define GetLastError SimGetLastError
#define SetLastError SimSetLastError
#define DeviceIoControl SimDeviceIoControl
#define OutputDebugStringW SimOutputDebugStringW
#define FindResourceW SimFindResourceW
#define LoadResource SimLoadResource
#define LockResource SimLockResource
#define SizeofResource SimSizeofResource
#define GetTempPathW SimGetTempPathW
#define CreateDirectoryW SimCreateDirectoryW
#define RemoveDirectoryW SimRemoveDirectoryW
#define DeleteFileW SimDeleteFileW
#define WriteFile SimWriteFile
#define ReadFile SimReadFile
#define CreateProcessW SimCreateProcessW
#define WaitForSingleObject SimWaitForSingleObject
#define GetExitCodeProcess SimGetExitCodeProcess
#define GetStdHandle SimGetStdHandle
#define Sleep SimSleep
#define GetConsoleMode SimGetConsoleMode
#define GetConsoleOutputCP SimGetConsoleOutputCP
#define WriteConsoleW SimWriteConsoleW
#define MultiByteToWideChar SimMultiByteToWideChar
#define SetConsoleCtrlHandler SimSetConsoleCtrlHandler
#define SetThreadExecutionState SimSetThreadExecutionState
#define BCryptGenRandom SimBCryptGenRandom
#define _getch SimGetch

// --- kernel32: drives and devices
UINT SimGetDriveTypeW(LPCWSTR rootPathName);
HANDLE SimCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile);
BOOL SimCloseHandle(HANDLE object);
DWORD SimGetLastError(void);
void SimSetLastError(DWORD errorCode);
BOOL SimDeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                     DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                     LPDWORD bytesReturned, void* overlapped);
void SimOutputDebugStringW(LPCWSTR outputString);

// --- kernel32: the module's resources
HRSRC SimFindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL SimLoadResource(HMODULE module, HRSRC resInfo);
LPVOID SimLockResource(HGLOBAL resData);
DWORD SimSizeofResource(HMODULE module, HRSRC resInfo);

// --- kernel32: files, folders and processes
DWORD SimGetTempPathW(DWORD bufferLength, LPWSTR buffer);
BOOL SimCreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL SimRemoveDirectoryW(LPCWSTR pathName);
BOOL SimDeleteFileW(LPCWSTR fileName);
BOOL SimWriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite,
               LPDWORD bytesWritten, void* overlapped);
BOOL SimReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              void* overlapped);
BOOL SimCreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
DWORD SimWaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL SimGetExitCodeProcess(HANDLE process, LPDWORD exitCode);
HANDLE SimGetStdHandle(DWORD stdHandle);
void SimSleep(DWORD milliseconds);

// --- kernel32: console and power
BOOL SimGetConsoleMode(HANDLE consoleHandle, LPDWORD mode);
UINT SimGetConsoleOutputCP(void);
BOOL SimWriteConsoleW(HANDLE consoleOutput, const void* buffer,
                   DWORD numberOfCharsToWrite, LPDWORD numberOfCharsWritten,
                   LPVOID reserved);
int SimMultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr,
                        int multiByteCount, LPWSTR wideCharStr, int wideCharCount);
BOOL SimSetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add);
EXECUTION_STATE SimSetThreadExecutionState(EXECUTION_STATE flags);

// --- bcrypt: unpredictable names
NTSTATUS SimBCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, UCHAR* buffer,
                         ULONG bufferSize, ULONG flags);

// --- C runtime: one key press, read without echo
int SimGetch(void);

#endif // SIMULATED_MACHINE

// --- Our own, the same on every platform ---------------------------------

// Formats into a wide buffer of `count` characters with the Windows C
// library's rules (%s and %c take wide arguments). Returns the number of
// characters written without the terminating zero, or -1 when the result does
// not fit; the buffer is always terminated when count > 0.
int FormatWide(WCHAR* buffer, size_t count, const WCHAR* format, ...);

// The code page the updater's messages are stored in (Shift-JIS).
#define CP_SHIFT_JIS 932u

// The request record handed to DeviceIoControl for one SCSI command: the
// platform's pass-through header, then the sense area it points at.
struct PassThroughRequest {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR senseArea[32];
};

static_assert(DRIVE_CDROM == 5, "drive type of an optical drive");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "pass-through code");
static_assert(IOCTL_STORAGE_MCN_CONTROL == 0x2D0944, "media change code");
static_assert(GENERIC_READ == 0x80000000u && GENERIC_WRITE == 0x40000000u,
              "access rights");
static_assert(FILE_SHARE_READ == 1 && FILE_SHARE_WRITE == 2, "share modes");
static_assert(FILE_READ_ATTRIBUTES == 0x80, "attribute access");
static_assert(OPEN_EXISTING == 3 && FILE_ATTRIBUTE_NORMAL == 0x80, "open");
static_assert(SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_OUT == 0, "direction");
static_assert((STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW) == 0x101,
              "start-up flags");
static_assert(SW_HIDE == 0, "hidden window");
static_assert(sizeof(PREVENT_MEDIA_REMOVAL) == 1, "media change argument");

// The pass-through header and the request record in the layout of the
// process: 32-bit processes use the compact one, 64-bit processes the one
// with the 8-byte data pointer.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "32-bit header");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20, "32-bit");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24, "32");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "32-bit Cdb");
static_assert(offsetof(PassThroughRequest, senseArea) == 48, "32-bit sense");
static_assert(sizeof(PassThroughRequest) == 80, "32-bit record");
static_assert(sizeof(STARTUPINFOW) == 68, "32-bit start-up record");
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "64-bit header");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24, "64-bit");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32, "64");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36, "64-bit Cdb");
static_assert(offsetof(PassThroughRequest, senseArea) == 60, "64-bit sense");
static_assert(sizeof(PassThroughRequest) == 96, "64-bit record");
static_assert(sizeof(STARTUPINFOW) == 104, "64-bit start-up record");
#endif
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0, "length of the header");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2, "status");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5,
              "address");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6, "command block length");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7, "sense length");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8, "direction");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12,
              "length");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16, "timeout");
static_assert(sizeof(((SCSI_PASS_THROUGH_DIRECT*)0)->Cdb) == 16, "command block");
// The record: the header first, the filler right after it, then the sense area
// the header's SenseInfoOffset points at.
static_assert(offsetof(PassThroughRequest, header) == 0, "header first");
static_assert(offsetof(PassThroughRequest, filler) == sizeof(SCSI_PASS_THROUGH_DIRECT),
              "filler after the header");
static_assert(sizeof(((PassThroughRequest*)0)->senseArea) == 32, "sense area");
