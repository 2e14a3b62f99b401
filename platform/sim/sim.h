// Control of the simulated machine, for tests, fuzz targets, benchmarks and
// the simulated update.
//
// The simulated machine implements every operation of platform/kernel32.h.
// It holds drive letters with their types, SCSI devices behind \\.\X: that
// keep the VX72M's drive contract strictly, the module's resources, a real
// temporary folder, real child processes, a captured console, scripted keys
// and a virtual clock. Every seam call is recorded with its arguments.
//
// It is single-threaded, like the updater. Reset() gives a fresh machine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel32.h"

namespace sim {

// ---------------------------------------------------------------- the log

// One seam call. `args` holds the call's numeric arguments in the order of the
// function's parameters; pointers are logged as 0 (null) or 1 (not null), and
// handles as the number they carry (see HandleNumber). The string argument a
// call has goes to `text` (in UTF-8) instead of `args`. The last element of
// `args` is the result (for functions that return one); int values are
// sign-extended (-1 is UINT64_MAX). `data` holds the bytes the call was given:
// the request record handed to DeviceIoControl as it was when the call began,
// the bytes of WriteFile, the UTF-16 code units of WriteConsoleW (as bytes,
// little-endian) and so on; for calls that give bytes back (ReadFile,
// BCryptGenRandom) the bytes given.
struct Call {
  std::string fn; // seam name without the Sim prefix, e.g. "CreateFileW"
  std::string text;
  std::vector<uint64_t> args;
  std::vector<uint8_t> data;
};

// Argument order per function (each followed by the result where there is one):
//   GetDriveTypeW        text=root path          args={result}
//   CreateFileW          text=path               args={access, share, sa!=0,
//                        disposition, flags, template!=0, handle (0 on failure)}
//   CloseHandle          args={handle, result}
//   GetLastError         args={result}
//   SetLastError         args={error}
//   DeviceIoControl      args={handle, code, inSize, outSize, bytesReturned!=0,
//                        overlapped!=0, result}  data=input bytes
//   OutputDebugStringW   text=note
//   FindResourceW        args={module!=0, id, type id, handle}  (a name given
//                        as a string: id 0 and the name in text)
//   LoadResource         args={module!=0, resInfo, handle}
//   LockResource         args={resData, result!=0}
//   SizeofResource       args={module!=0, resInfo, size}
//   GetTempPathW         text=folder given   args={bufferLength, buffer!=0, result}
//   CreateDirectoryW     text=path           args={sa!=0, result}
//   RemoveDirectoryW     text=path           args={result}
//   DeleteFileW          text=path           args={result}
//   WriteFile            args={handle, buffer!=0, bytesToWrite, bytesWritten!=0,
//                        overlapped!=0, result}  data=the bytes
//   ReadFile             args={handle, buffer!=0, bytesToRead, bytesRead!=0,
//                        overlapped!=0, result}  data=the bytes read
//   CreateProcessW       text=command line (the application name when there
//                        is none)  args={applicationName!=0, processAttributes!=0,
//                        threadAttributes!=0, inheritHandles, creationFlags,
//                        environment!=0, currentDirectory!=0, startupInfo!=0,
//                        processInformation!=0, result}  data=the STARTUPINFOW
//   WaitForSingleObject  args={handle, ms, result}
//   GetExitCodeProcess   args={handle, exitCode!=0, result}
//   GetStdHandle         args={which, handle}
//   Sleep                args={ms}
//   GetConsoleMode       args={handle, mode!=0, result}
//   GetConsoleOutputCP   args={result}
//   WriteConsoleW        args={handle, buffer!=0, chars, charsWritten!=0,
//                        reserved!=0, result}  data=UTF-16LE code units
//   MultiByteToWideChar  args={codePage, flags, string!=0, count, wide!=0,
//                        wideCount, result}  data=the bytes read (count, or up
//                        to and with the terminator for -1)
//   SetConsoleCtrlHandler args={handler!=0, add, result}
//   SetThreadExecutionState args={flags, previous state}
//   BCryptGenRandom      args={algorithm!=0, buffer!=0, size, flags, status}
//                        data=the bytes given
//   _getch (logged as "_getch")  args={result}
//
// Handles: the standard input, output and error handles are 1, 2 and 3; every
// other handle gets the next number from 16 on, never reused until Reset, so
// a handle used after its close fails with ERROR_INVALID_HANDLE.
const std::vector<Call> &Calls();
std::vector<Call> CallsTo(const std::string &fn);
// Calls whose name is in `fns`, in order (for example the drive's commands).
std::vector<Call> CallsTo(std::initializer_list<const char *> fns);
void ClearCalls();
// The number a handle carries; INVALID_HANDLE_VALUE gives UINT64_MAX.
uint64_t HandleNumber(HANDLE handle);

// Called after every recorded call (once the call has done its work), so a
// test can change the machine at an exact point of a run. OnCall(nullptr)
// removes every observer (Reset does too). Calls an observer makes are logged
// but not observed again.
void OnCall(std::function<void(const Call &)> observer);

// --------------------------------------------------------------- the machine

// A fresh machine: letter C is a fixed disk and every other letter has no
// root directory; no devices, no resources, empty log and console, clock at
// 0 ms, a new empty temporary folder on the real disk (the previous one is
// removed with everything in it), no scripted keys, no observers, open files
// closed and children still running killed.
void Reset();

// The type GetDriveTypeW answers for `letter` ("X:\" exactly; any other form
// gets DRIVE_NO_ROOT_DIR), also under a drive placed there.
void SetDriveType(char letter, UINT type);

// ------------------------------------------------------------------ drives
//
// A drive's device opens with CreateFileW on "\\.\X:" exactly (OPEN_EXISTING;
// opens keep each other's share modes, opens for attributes only aside).
// DeviceIoControl takes IOCTL_SCSI_PASS_THROUGH_DIRECT on a handle opened for
// reading and writing, checked as a port driver checks it (sizes, Length,
// CdbLength 6-16, sense area inside the output and past the header, a data
// buffer for data, no overlapped I/O, a byte count variable): a refused
// request fails with ERROR_INVALID_PARAMETER (ERROR_ACCESS_DENIED for the
// access) and never reaches the drive. An executed one gets ScsiStatus, the
// sense bytes (at most SenseInfoLength) and the data-in bytes (at most the
// transfer length); nothing else of it changes. IOCTL_STORAGE_MCN_CONTROL
// takes exactly one byte on any open handle.

enum class Media { NoDisc, Ready, BecomingReady };

enum class FaultKind {
  Transport,      // DeviceIoControl returns FALSE with `error`
  CheckCondition, // the drive answers CHECK CONDITION with `sense`
  Vanish,         // the device is gone from this command on: DeviceIoControl
                  // fails with ERROR_DEVICE_NOT_CONNECTED, opens fail with
                  // ERROR_FILE_NOT_FOUND, its letter has no root directory
};

// Which commands a fault hits: the n-th pass-through command the drive
// receives (1-based, counted over the whole run), or commands with an opcode,
// optionally only its n-th occurrence (1-based; 0 = every one). A fault that
// names both must match both; one that names neither hits every command. The
// first fault in the list that hits a command answers it.
struct Fault {
  int commandNumber = 0;
  int opcode = -1;
  int occurrence = 0;
  FaultKind kind = FaultKind::Transport;
  DWORD error = ERROR_IO_DEVICE;
  std::array<uint8_t, 18> sense{}; // fixed-format sense data
};

// Fixed-format sense data with a sense key, ASC, ASCQ and INFORMATION.
std::array<uint8_t, 18> Sense(uint8_t key, uint8_t asc, uint8_t ascq, uint32_t information = 0);

// One SCSI command as the drive saw it.
struct ScsiCommand {
  int number;                // 1-based, counted over the whole run
  std::vector<uint8_t> cdb;  // CdbLength bytes
  uint8_t dataIn;            // the request's DataIn
  uint32_t length;           // DataTransferLength
  uint32_t timeout;          // TimeOutValue, seconds
  std::vector<uint8_t> data; // data-out bytes as sent (empty for data in)
  uint64_t at;               // virtual clock, ms
};

// The drive's answer to one command, as a hook may give it.
struct ScsiAnswer {
  bool transportFailure = false; // DeviceIoControl FALSE with `error`
  DWORD error = ERROR_IO_DEVICE;
  bool vanish = false;         // as FaultKind::Vanish
  uint8_t status = 0;          // SCSI status; 0x02 = CHECK CONDITION
  std::vector<uint8_t> sense;  // sense bytes (at most SenseInfoLength used)
  std::vector<uint8_t> dataIn; // data-in bytes (at most the transfer length)
};

constexpr uint32_t kFirmwareSize = 0x200000;
constexpr uint32_t kRevisionBlockOffset = 0x1EC000;

struct Drive {
  char letter = 0;
  UINT type = DRIVE_CDROM;
  DWORD openError = 0; // non-zero: CreateFileW on the device fails with it
  DWORD mcnError = 0;  // non-zero: the media change request fails with it
  Media media = Media::NoDisc;

  // The installed firmware (kFirmwareSize bytes). INQUIRY bytes 8-35 are
  // its revision block's bytes 0-27 unless `identification` is set.
  std::vector<uint8_t> firmware;
  std::string identification; // 28 bytes, may hold zero bytes; "" = derived

  // The long write after a commit: how long it takes on the clock, whether it
  // ends with the reset unit attention before GOOD, and whether it ends.
  // While it runs every command answers NOT READY 04/08 with the progress in
  // INFORMATION, rising from 0 and rounded up; at longWriteMs it ends (the
  // drive notices at its next command or Sleep): the image received becomes
  // the firmware, the next command gets UNIT ATTENTION 29/00 (when reset),
  // the next TEST UNIT READY GOOD, and then the media decide again.
  uint32_t longWriteMs = 5000;
  bool resetAfterLongWrite = true;
  bool longWriteNeverEnds = false;

  std::vector<Fault> faults;
  // Runs before the model for every command; returning true makes `answer`
  // the drive's answer and the model sees nothing of the command.
  std::function<bool(const ScsiCommand &, ScsiAnswer &)> hook;

  // What the drive saw and where it stands.
  std::vector<ScsiCommand> commands;
  bool vanished = false;
  bool mcnDisabled = false; // media change notification switched off
  int mcnRequests = 0;
  bool downloadStarted = false;
  uint32_t piecesReceived = 0;
  bool committed = false;
  bool updated = false;          // the new firmware is installed
  std::vector<uint8_t> received; // the image as downloaded so far
  // The long write after a commit (added with the model: the drive needs to
  // know when it began and what it still owes the program when it ends).
  bool writing = false;              // the long write is in progress
  uint64_t committedAt = 0;          // clock at the accepted commit, ms
  bool unitAttentionPending = false; // the reset, reported by the next command
  bool completionPending = false;    // the next TEST UNIT READY answers GOOD
};

// The download the drive takes: WRITE BUFFER mode 1 with byte 9 0x0B and no
// data; 128 pieces, mode 6, buffer 0, at 0, 0x4000, ... each 0x4000 bytes
// with that length in the block and as data out; mode 7 with bytes 10-11
// 1B 12 and no data. Anything else in a WRITE BUFFER is refused with ILLEGAL
// REQUEST, ASC 0x24 (invalid field) or 0x2C (out of sequence), and ends the
// download. Unknown opcodes: ILLEGAL REQUEST 0x20.
//
// A KORVANEX BD-RE VX72M whose installed firmware carries `revision` (four
// bytes) in its revision block. The drive's letter gets type DRIVE_CDROM.
// Placing a drive at a letter replaces the drive there.
Drive &AddVx72m(char letter, const char *revision = "PR03");
// Another optical drive: INQUIRY bytes 8-35 are the 28 bytes given (which may
// hold zero bytes; fewer are filled up with blanks); its revision block is
// all zeros.
Drive &AddDrive(char letter, const std::string &identification28);
Drive *DriveAt(char letter);

// -------------------------------------------------------- the console

// Standard output as bytes, in the order written (WriteFile on the standard
// output handle; child processes' output when their standard output is ours).
const std::string &Stdout();
// The wide text written with WriteConsoleW, in order.
const std::wstring &ConsoleText();
// Notes written with OutputDebugStringW, concatenated.
const std::wstring &DebugOutput();
// Standard output is a console with this output code page (default: not a
// console, as when output is redirected to a file or pipe).
void SetConsole(bool isConsole, UINT outputCodePage = 932);
// Keys _getch returns, in order; with none left it returns -1 at once.
void QueueKeys(const std::string &keys);
// The simulated update: writes also reach the real standard output
// (WriteConsoleW text as UTF-8), _getch reads a real key without echo (-1
// when standard input is no terminal), Sleep really sleeps and the clock
// follows real time, and children write to the real standard output.
void UseRealConsoleAndTime(bool on);
// Each half on its own: the real console with the virtual clock, or the
// other way round.
void UseRealConsole(bool on);
void UseRealTime(bool on);

// -------------------------------------------------------- time

uint64_t Now(); // the clock, ms since Reset

// -------------------------------------------------------- resources

// Resource `id` of type RT_RCDATA in the program's own module.
void SetResource(int id, const void *bytes, size_t size);
void RemoveResource(int id);

// -------------------------------------------------------- files and processes

// The real folder GetTempPathW names (ends with '/'; '\\' in the Windows
// test builds). Paths the updater builds with backslashes are mapped to '/'
// on a POSIX disk, and so are backslashes in a child's command line.
// CreateFileW on ordinary paths takes CREATE_NEW, CREATE_ALWAYS and
// OPEN_EXISTING and keeps the Windows share modes between its handles.
std::string TempFolder();
// Makes GetTempPathW name `folder` instead (created if missing; a folder may
// hold blanks and be long). Empty: GetTempPathW fails.
void SetTempFolder(const std::string &folder);
// Entries left under the temporary folder, recursively, as relative paths.
std::vector<std::string> TempFolderEntries();

// CreateProcessW fails with this error (0: processes really start). A child
// is found and its arguments read with the Windows command-line rules (an
// unquoted path is tried up to each blank in turn, as Windows does); its
// standard output is captured into Stdout() while WaitForSingleObject waits,
// unless the start-up record gives it another handle.
void SetCreateProcessError(DWORD error);
// BCryptGenRandom gives these bytes first, then real random bytes.
void QueueRandomBytes(const std::vector<uint8_t> &bytes);

// -------------------------------------------------------- console control, power

// Whether a console control handler is installed and the execution state the
// program asked for last.
bool CtrlHandlerInstalled();
EXECUTION_STATE ExecutionState();

} // namespace sim
