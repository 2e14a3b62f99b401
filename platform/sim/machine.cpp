// The simulated machine: every kernel32 operation of platform/kernel32.h,
// recorded in the call log, over drive letters, SCSI devices, a captured
// console, scripted keys, a virtual clock and the module's resources. Files,
// folders and processes are real and go through the host part (host.h).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "platform/sim/drive_model.h"
#include "platform/sim/host.h"
#include "platform/sim/sim.h"

namespace sim {

namespace {

// Error codes beyond those the updater uses.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorResourceDataNotFound = 1812;
constexpr DWORD kErrorResourceTypeNotFound = 1813;
constexpr DWORD kErrorResourceNameNotFound = 1814;
constexpr DWORD kMbErrInvalidChars = 0x8;
constexpr DWORD kMbPrecomposed = 0x1;
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008u);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000Du);

// Handle numbers: the three standard handles are fixed; every other handle
// gets the next number from 16 on, never reused until Reset, so a handle used
// after its close is caught.
constexpr uint64_t kStdInput = 1;
constexpr uint64_t kStdOutput = 2;
constexpr uint64_t kStdError = 3;
constexpr uint64_t kFirstHandle = 16;
// Resource handles: HRSRC and HGLOBAL of resource `id`.
constexpr uintptr_t kResourceInfoBase = 0x10000;
constexpr uintptr_t kResourceDataBase = 0x20000;

struct Process {
  host::ProcessId id = 0;
  int handles = 0;
};

enum class HandleKind { Device, File, Process, Thread };

struct HandleEntry {
  HandleKind kind = HandleKind::Device;
  char letter = 0;  // device
  DWORD access = 0; // device and file
  DWORD share = 0;  // device
  host::FileId file = 0;
  std::shared_ptr<Process> process;
};

struct Resource {
  std::vector<uint8_t> bytes;
  const void *module = nullptr; // the real module's bytes (Windows builds)
  size_t moduleSize = 0;
  bool removed = false;

  const void *Data() const { return module != nullptr ? module : bytes.data(); }
  size_t Size() const { return module != nullptr ? moduleSize : bytes.size(); }
};

struct Machine {
  std::vector<Call> calls;
  std::vector<std::function<void(const Call &)>> observers;
  bool notifying = false;

  std::array<UINT, 26> letters{};
  std::map<char, std::unique_ptr<Drive>> drives;

  std::map<uint64_t, HandleEntry> handles;
  uint64_t nextHandle = kFirstHandle;
  DWORD lastError = 0;

  std::string stdoutBytes;
  std::wstring consoleText;
  std::wstring debugText;
  bool isConsole = false;
  UINT codePage = 0;
  std::deque<uint8_t> keys;
  bool realConsole = false; // writes also reach the real console; keys are real
  bool realTime = false;    // Sleep really sleeps and the clock follows real time
  uint64_t clockMs = 0;
  uint64_t realBase = 0;

  std::map<int, Resource> resources;
  std::string tempRoot;   // made for this machine, removed at the next Reset
  std::string tempFolder; // what GetTempPathW names; "" makes it fail
  DWORD createProcessError = 0;
  std::deque<uint8_t> randomBytes;
  std::vector<PHANDLER_ROUTINE> ctrlHandlers;
  EXECUTION_STATE executionState = ES_CONTINUOUS;

  Machine() { ResetLetters(); }
  void ResetLetters() {
    letters.fill(DRIVE_NO_ROOT_DIR);
    letters['C' - 'A'] = DRIVE_FIXED;
  }
};

// Never destroyed: tests and their observers may still run at exit.
Machine &M() {
  static Machine *machine = new Machine;
  return *machine;
}

void RemoveTempRootAtExit() {
  if (!M().tempRoot.empty()) {
    host::RemoveTree(M().tempRoot);
  }
}

void EnsureTempFolder() {
  Machine &m = M();
  if (m.tempRoot.empty()) {
    static bool registered = false;
    if (!registered) {
      registered = true;
      std::atexit(RemoveTempRootAtExit);
    }
    m.tempRoot = host::NewTempFolder();
    m.tempFolder = m.tempRoot;
  }
}

uint64_t P(const void *pointer) {
  return pointer != nullptr ? 1 : 0;
}
uint64_t H(HANDLE handle) {
  return HandleNumber(handle);
}
uint64_t I(int64_t value) {
  return static_cast<uint64_t>(value);
}

std::string Text(LPCWSTR text) {
  return text != nullptr ? ToUtf8(std::wstring(text)) : "";
}

std::vector<uint8_t> Bytes(const void *bytes, size_t size) {
  const uint8_t *begin = static_cast<const uint8_t *>(bytes);
  return bytes != nullptr ? std::vector<uint8_t>(begin, begin + size) : std::vector<uint8_t>{};
}

// Wide text as little-endian UTF-16 code units, as Windows holds it.
std::vector<uint8_t> Utf16Bytes(const wchar_t *text, size_t count) {
  std::vector<uint8_t> bytes;
  auto put = [&](uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (size_t i = 0; text != nullptr && i < count; i++) {
    const uint32_t c = static_cast<uint32_t>(text[i]);
    if (c > 0xFFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return bytes;
}

void Record(const char *fn, std::vector<uint64_t> args, std::string text = {},
            std::vector<uint8_t> data = {}) {
  Machine &m = M();
  Call call{fn, std::move(text), std::move(args), std::move(data)};
  m.calls.push_back(call);
  if (m.notifying) {
    return; // calls an observer makes are logged but not observed again
  }
  m.notifying = true;
  const auto observers = m.observers; // an observer may add observers or Reset
  for (const auto &observer : observers) {
    observer(call);
  }
  m.notifying = false;
}

BOOL Fail(DWORD error) {
  M().lastError = error;
  return FALSE;
}

HANDLE ToHandle(uint64_t number) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number));
}

HandleEntry *Find(HANDLE handle) {
  auto it = M().handles.find(HandleNumber(handle));
  return it != M().handles.end() ? &it->second : nullptr;
}

HANDLE NewHandle(HandleEntry entry) {
  Machine &m = M();
  const uint64_t number = m.nextHandle++;
  m.handles[number] = std::move(entry);
  return ToHandle(number);
}

bool IsStd(HANDLE handle, uint64_t which) {
  return HandleNumber(handle) == which;
}
bool IsStdHandle(HANDLE handle) {
  return IsStd(handle, kStdInput) || IsStd(handle, kStdOutput) || IsStd(handle, kStdError);
}

char Upper(wchar_t c) {
  if (c >= L'a' && c <= L'z') {
    return static_cast<char>(c - L'a' + 'A');
  }
  return c >= L'A' && c <= L'Z' ? static_cast<char>(c) : 0;
}

// "\\.\X:" exactly; the letter in capitals, 0 for any other path.
char DeviceLetter(LPCWSTR path) {
  if (path == nullptr || std::wcslen(path) != 6 || std::wcsncmp(path, L"\\\\.\\", 4) != 0 ||
      path[5] != L':') {
    return 0;
  }
  return Upper(path[4]);
}

bool IsDevicePath(LPCWSTR path) {
  return path != nullptr && std::wcsncmp(path, L"\\\\.\\", 4) == 0;
}

Drive *PresentDrive(char letter) {
  Drive *drive = DriveAt(letter);
  return drive != nullptr && !drive->vanished ? drive : nullptr;
}

// Whether an open with `access` and `share` may stand beside one made with
// `openAccess` and `openShare`: each must share what the other reads, writes
// or deletes. An open for attributes only takes part in no share check.
bool SharesWith(DWORD openAccess, DWORD openShare, DWORD access, DWORD share) {
  auto reads = [](DWORD a) { return (a & (GENERIC_READ | 0x1u)) != 0; };
  auto writes = [](DWORD a) { return (a & (GENERIC_WRITE | 0x2u | 0x4u)) != 0; };
  auto deletes = [](DWORD a) { return (a & DELETE) != 0; };
  auto touchesData = [&](DWORD a) { return reads(a) || writes(a) || deletes(a); };
  auto allows = [&](DWORD granted, DWORD wanted) {
    return !(reads(wanted) && (granted & FILE_SHARE_READ) == 0) &&
           !(writes(wanted) && (granted & FILE_SHARE_WRITE) == 0) &&
           !(deletes(wanted) && (granted & FILE_SHARE_DELETE) == 0);
  };
  return !touchesData(access) || !touchesData(openAccess) ||
         (allows(openShare, access) && allows(share, openAccess));
}

HANDLE OpenDevice(LPCWSTR path, DWORD access, DWORD share, DWORD disposition) {
  const char letter = DeviceLetter(path);
  Drive *drive = letter != 0 ? PresentDrive(letter) : nullptr;
  if (drive == nullptr) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (drive->openError != 0) {
    Fail(drive->openError);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  for (const auto &[number, open] : M().handles) {
    if (open.kind == HandleKind::Device && open.letter == letter &&
        !SharesWith(open.access, open.share, access, share)) {
      Fail(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
  }
  HandleEntry entry;
  entry.kind = HandleKind::Device;
  entry.letter = letter;
  entry.access = access;
  entry.share = share;
  return NewHandle(entry);
}

HANDLE OpenFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, HANDLE templateFile) {
  if (path == nullptr || path[0] == 0 || templateFile != nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != CREATE_NEW && disposition != CREATE_ALWAYS && disposition != OPEN_EXISTING) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HandleEntry entry;
  entry.kind = HandleKind::File;
  entry.access = access;
  bool existed = false;
  DWORD error = 0;
  if (!host::OpenHostFile(host::HostPath(path), access, share, disposition, &entry.file, &existed,
                          &error)) {
    Fail(error);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == CREATE_ALWAYS) {
    M().lastError = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  }
  return NewHandle(entry);
}

BOOL PassThrough(HandleEntry &entry, Drive &drive, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                 DWORD outSize, LPDWORD bytesReturned) {
  const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
  if ((entry.access & readWrite) != readWrite) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  constexpr DWORD kHeader = sizeof(SCSI_PASS_THROUGH_DIRECT);
  if (inBuffer == nullptr || outBuffer == nullptr || inSize < kHeader || outSize < kHeader) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  SCSI_PASS_THROUGH_DIRECT request;
  std::memcpy(&request, inBuffer, kHeader);
  const uint64_t senseEnd = uint64_t(request.SenseInfoOffset) + request.SenseInfoLength;
  if (request.Length != kHeader || request.CdbLength < 6 || request.CdbLength > 16 ||
      request.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
      (request.DataTransferLength > 0 && request.DataBuffer == nullptr) ||
      (request.SenseInfoLength > 0 && (request.SenseInfoOffset < kHeader || senseEnd > outSize))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  ScsiCommand command{};
  command.cdb.assign(request.Cdb, request.Cdb + request.CdbLength);
  command.dataIn = request.DataIn;
  command.length = request.DataTransferLength;
  command.timeout = request.TimeOutValue;
  if (request.DataIn == SCSI_IOCTL_DATA_OUT) {
    command.data = Bytes(request.DataBuffer, request.DataTransferLength);
  }
  const ScsiAnswer answer = detail::ExecuteCommand(drive, std::move(command));
  if (answer.vanish) {
    // The device object goes with the device, and its media change lock too.
    drive.vanished = true;
    drive.mcnDisabled = false;
    return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  if (answer.transportFailure) {
    return Fail(answer.error);
  }
  uint8_t *out = static_cast<uint8_t *>(outBuffer);
  out[offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus)] = answer.status;
  const size_t senseCount = std::min<size_t>(answer.sense.size(), request.SenseInfoLength);
  if (senseCount > 0) {
    std::memcpy(out + request.SenseInfoOffset, answer.sense.data(), senseCount);
  }
  if (request.DataIn == SCSI_IOCTL_DATA_IN && request.DataTransferLength > 0) {
    const size_t dataCount = std::min<size_t>(answer.dataIn.size(), request.DataTransferLength);
    if (dataCount > 0) {
      std::memcpy(request.DataBuffer, answer.dataIn.data(), dataCount);
    }
  }
  *bytesReturned =
      senseCount > 0 ? static_cast<DWORD>(request.SenseInfoOffset + senseCount) : kHeader;
  return TRUE;
}

BOOL McnControl(Drive &drive, LPVOID inBuffer, DWORD inSize, LPDWORD bytesReturned) {
  if (inBuffer == nullptr || inSize != sizeof(PREVENT_MEDIA_REMOVAL)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  drive.mcnRequests++;
  if (drive.mcnError != 0) {
    return Fail(drive.mcnError);
  }
  drive.mcnDisabled =
      static_cast<const PREVENT_MEDIA_REMOVAL *>(inBuffer)->PreventMediaRemoval != 0;
  *bytesReturned = 0;
  return TRUE;
}

BOOL DeviceControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                   DWORD outSize, LPDWORD bytesReturned, void *overlapped) {
  HandleEntry *entry = Find(device);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (entry->kind != HandleKind::Device) {
    return Fail(kErrorInvalidFunction);
  }
  if (overlapped != nullptr || bytesReturned == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Drive *drive = PresentDrive(entry->letter);
  if (drive == nullptr) {
    return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    return PassThrough(*entry, *drive, inBuffer, inSize, outBuffer, outSize, bytesReturned);
  }
  if (code == IOCTL_STORAGE_MCN_CONTROL) {
    return McnControl(*drive, inBuffer, inSize, bytesReturned);
  }
  return Fail(kErrorInvalidFunction);
}

void ReleaseHandle(HandleEntry &entry, bool kill) {
  switch (entry.kind) {
  case HandleKind::File:
    host::CloseHostFile(entry.file);
    break;
  case HandleKind::Process:
  case HandleKind::Thread:
    if (--entry.process->handles == 0) {
      host::CloseProcess(entry.process->id, kill);
    }
    break;
  case HandleKind::Device:
    break;
  }
}

void WriteReal(const std::string &bytes) {
  if (M().realConsole) {
    host::WriteRealStdout(bytes.data(), bytes.size());
  }
}

BOOL WriteBytes(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void *overlapped) {
  if (overlapped != nullptr || written == nullptr || (buffer == nullptr && size > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *written = 0;
  if (IsStd(file, kStdOutput) || IsStd(file, kStdError)) {
    const std::string bytes(static_cast<const char *>(buffer), size);
    if (IsStd(file, kStdOutput)) {
      M().stdoutBytes += bytes;
    }
    WriteReal(bytes);
    *written = size;
    return TRUE;
  }
  HandleEntry *entry = Find(file);
  if (entry == nullptr || IsStd(file, kStdInput)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (entry->kind != HandleKind::File) {
    return Fail(kErrorInvalidFunction);
  }
  if ((entry->access & GENERIC_WRITE) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  DWORD error = 0;
  return host::WriteHostFile(entry->file, buffer, size, written, &error) ? TRUE : Fail(error);
}

BOOL ReadBytes(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, void *overlapped) {
  if (overlapped != nullptr || done == nullptr || (buffer == nullptr && size > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *done = 0;
  if (IsStd(file, kStdInput)) {
    return TRUE; // standard input is empty
  }
  HandleEntry *entry = Find(file);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (entry->kind != HandleKind::File) {
    return Fail(kErrorInvalidFunction);
  }
  if ((entry->access & GENERIC_READ) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  DWORD error = 0;
  return host::ReadHostFile(entry->file, buffer, size, done, &error) ? TRUE : Fail(error);
}

// Resource `id` of the program's module, or null. Windows builds also find
// the real module's own resources when no simulated one has the id.
Resource *LookUpResource(int id) {
  Machine &m = M();
  auto it = m.resources.find(id);
  if (it == m.resources.end()) {
    Resource real;
    if (!host::ModuleResource(id, &real.module, &real.moduleSize)) {
      return nullptr;
    }
    it = m.resources.emplace(id, std::move(real)).first;
  }
  return it->second.removed ? nullptr : &it->second;
}

int ResourceId(HANDLE handle, uintptr_t base) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < base || value > base + 0xFFFF) {
    return -1;
  }
  return LookUpResource(static_cast<int>(value - base)) != nullptr ? static_cast<int>(value - base)
                                                                   : -1;
}

bool IsIntResource(LPCWSTR name) {
  return reinterpret_cast<uintptr_t>(name) <= 0xFFFF;
}

host::ChildOutput ChildOutputFor(const STARTUPINFOW &startup, host::FileId *file) {
  const host::ChildOutput console =
      M().realConsole ? host::ChildOutput::Inherit : host::ChildOutput::Capture;
  if ((startup.dwFlags & STARTF_USESTDHANDLES) == 0 || IsStd(startup.hStdOutput, kStdOutput)) {
    return console;
  }
  HandleEntry *entry = Find(startup.hStdOutput);
  if (entry != nullptr && entry->kind == HandleKind::File) {
    *file = entry->file;
    return host::ChildOutput::File;
  }
  return host::ChildOutput::Discard;
}

BOOL StartProcess(LPCWSTR applicationName, LPWSTR commandLine, LPVOID environment,
                  LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                  LPPROCESS_INFORMATION processInformation) {
  Machine &m = M();
  if (m.createProcessError != 0) {
    return Fail(m.createProcessError);
  }
  if ((applicationName == nullptr && commandLine == nullptr) || startupInfo == nullptr ||
      processInformation == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (environment != nullptr || currentDirectory != nullptr) {
    return Fail(kErrorNotSupported); // the child always gets ours
  }
  host::FileId file = 0;
  const host::ChildOutput output = ChildOutputFor(*startupInfo, &file);
  auto process = std::make_shared<Process>();
  DWORD processId = 0;
  DWORD error = 0;
  if (!host::StartProcess(applicationName, commandLine, output, file, &process->id, &processId,
                          &error)) {
    return Fail(error);
  }
  HandleEntry entry;
  entry.process = process;
  entry.kind = HandleKind::Process;
  process->handles = 2;
  processInformation->hProcess = NewHandle(entry);
  entry.kind = HandleKind::Thread;
  processInformation->hThread = NewHandle(entry);
  processInformation->dwProcessId = processId;
  processInformation->dwThreadId = processId;
  return TRUE;
}

} // namespace

// ------------------------------------------------------------------ text

std::string ToUtf8(const wchar_t *text, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; i++) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < size) {
      const uint32_t low = static_cast<uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i++;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string ToUtf8(const std::wstring &text) {
  return ToUtf8(text.data(), text.size());
}

std::wstring FromUtf8(const std::string &text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const uint8_t b = static_cast<uint8_t>(text[i]);
    const int extra = b < 0x80 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    uint32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool valid = extra >= 0 && i + extra < text.size();
    for (int k = 1; valid && k <= extra; k++) {
      const uint8_t next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += wchar_t(0xFFFD);
      i++;
      continue;
    }
    i += extra + 1;
    if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

// ------------------------------------------------------------------ control

const std::vector<Call> &Calls() {
  return M().calls;
}

std::vector<Call> CallsTo(const std::string &fn) {
  return CallsTo({fn.c_str()});
}

std::vector<Call> CallsTo(std::initializer_list<const char *> fns) {
  std::vector<Call> found;
  for (const Call &call : M().calls) {
    for (const char *fn : fns) {
      if (call.fn == fn) {
        found.push_back(call);
        break;
      }
    }
  }
  return found;
}

void ClearCalls() {
  M().calls.clear();
}

uint64_t HandleNumber(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) {
    return UINT64_MAX;
  }
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

void OnCall(std::function<void(const Call &)> observer) {
  if (!observer) {
    M().observers.clear(); // OnCall(nullptr) removes every observer
    return;
  }
  M().observers.push_back(std::move(observer));
}

void Reset() {
  Machine &m = M();
  for (auto &[number, entry] : m.handles) {
    ReleaseHandle(entry, true);
  }
  host::EndAllProcesses();
  m.handles.clear();
  m.nextHandle = kFirstHandle;
  m.calls.clear();
  m.observers.clear();
  m.ResetLetters();
  m.drives.clear();
  m.lastError = 0;
  m.stdoutBytes.clear();
  m.consoleText.clear();
  m.debugText.clear();
  m.isConsole = false;
  m.codePage = 0;
  m.keys.clear();
  m.realConsole = false;
  m.realTime = false;
  m.clockMs = 0;
  m.realBase = 0;
  m.resources.clear();
  if (!m.tempRoot.empty()) {
    host::RemoveTree(m.tempRoot);
    m.tempRoot.clear();
  }
  EnsureTempFolder();
  m.createProcessError = 0;
  m.randomBytes.clear();
  m.ctrlHandlers.clear();
  m.executionState = ES_CONTINUOUS;
}

void SetDriveType(char letter, UINT type) {
  const char upper = Upper(static_cast<wchar_t>(letter));
  if (upper == 0) {
    return;
  }
  M().letters[upper - 'A'] = type;
  if (Drive *drive = DriveAt(upper)) {
    drive->type = type;
  }
}

Drive *DriveAt(char letter) {
  auto it = M().drives.find(Upper(static_cast<wchar_t>(letter)));
  return it != M().drives.end() ? it->second.get() : nullptr;
}

namespace detail {

Drive &PlaceDrive(char letter) {
  const char upper = Upper(static_cast<wchar_t>(letter));
  auto drive = std::make_unique<Drive>();
  drive->letter = upper;
  Drive &placed = *drive;
  M().drives[upper] = std::move(drive);
  M().letters[upper - 'A'] = DRIVE_CDROM;
  return placed;
}

void AdvanceDrives() {
  for (auto &[letter, drive] : M().drives) {
    AdvanceDrive(*drive);
  }
}

} // namespace detail

const std::string &Stdout() {
  return M().stdoutBytes;
}
const std::wstring &ConsoleText() {
  return M().consoleText;
}
const std::wstring &DebugOutput() {
  return M().debugText;
}

void SetConsole(bool isConsole, UINT outputCodePage) {
  M().isConsole = isConsole;
  M().codePage = outputCodePage;
}

void QueueKeys(const std::string &keys) {
  M().keys.insert(M().keys.end(), keys.begin(), keys.end());
}

void UseRealConsole(bool on) {
  M().realConsole = on;
}

void UseRealTime(bool on) {
  Machine &m = M();
  if (on && !m.realTime) {
    m.realBase = host::RealMs();
  } else if (!on && m.realTime) {
    m.clockMs = Now();
  }
  m.realTime = on;
}

void UseRealConsoleAndTime(bool on) {
  UseRealConsole(on);
  UseRealTime(on);
}

uint64_t Now() {
  const Machine &m = M();
  return m.realTime ? m.clockMs + (host::RealMs() - m.realBase) : m.clockMs;
}

void SetResource(int id, const void *bytes, size_t size) {
  Resource resource;
  resource.bytes = Bytes(bytes, size);
  M().resources[id] = std::move(resource);
}

void RemoveResource(int id) {
  M().resources[id].removed = true;
}

std::string TempFolder() {
  EnsureTempFolder();
  return M().tempFolder;
}

void SetTempFolder(const std::string &folder) {
  EnsureTempFolder();
  if (folder.empty()) {
    M().tempFolder.clear();
    return;
  }
  host::MakeFolders(folder);
  const char last = folder.back();
  M().tempFolder = last == '/' || last == '\\' ? folder : folder + host::kPathSeparator;
}

std::vector<std::string> TempFolderEntries() {
  EnsureTempFolder();
  return M().tempFolder.empty() ? std::vector<std::string>{} : host::ListTree(M().tempFolder);
}

void SetCreateProcessError(DWORD error) {
  M().createProcessError = error;
}

void QueueRandomBytes(const std::vector<uint8_t> &bytes) {
  M().randomBytes.insert(M().randomBytes.end(), bytes.begin(), bytes.end());
}

bool CtrlHandlerInstalled() {
  return !M().ctrlHandlers.empty();
}
EXECUTION_STATE ExecutionState() {
  return M().executionState;
}

} // namespace sim

using sim::Record;

// ------------------------------------------------------------------ the seam

UINT SimGetDriveTypeW(LPCWSTR rootPathName) {
  UINT type = DRIVE_NO_ROOT_DIR;
  const char letter = rootPathName != nullptr && std::wcslen(rootPathName) == 3 &&
                              rootPathName[1] == L':' && rootPathName[2] == L'\\'
                          ? sim::Upper(rootPathName[0])
                          : 0;
  if (letter != 0) {
    const sim::Drive *drive = sim::DriveAt(letter);
    if (drive == nullptr) {
      type = sim::M().letters[letter - 'A'];
    } else if (!drive->vanished) {
      type = drive->type;
    }
  }
  Record("GetDriveTypeW", {type}, sim::Text(rootPathName));
  return type;
}

HANDLE SimCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                      LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                      DWORD flagsAndAttributes, HANDLE templateFile) {
  const HANDLE handle =
      sim::IsDevicePath(fileName)
          ? sim::OpenDevice(fileName, desiredAccess, shareMode, creationDisposition)
          : sim::OpenFile(fileName, desiredAccess, shareMode, creationDisposition, templateFile);
  Record("CreateFileW",
         {desiredAccess, shareMode, sim::P(securityAttributes), creationDisposition,
          flagsAndAttributes, sim::P(templateFile),
          handle == INVALID_HANDLE_VALUE ? 0 : sim::H(handle)},
         sim::Text(fileName));
  return handle;
}

BOOL SimCloseHandle(HANDLE object) {
  BOOL result = TRUE;
  auto it = sim::M().handles.find(sim::HandleNumber(object));
  if (it != sim::M().handles.end()) {
    sim::ReleaseHandle(it->second, false);
    sim::M().handles.erase(it);
  } else if (!sim::IsStdHandle(object)) {
    result = sim::Fail(ERROR_INVALID_HANDLE);
  }
  Record("CloseHandle", {sim::H(object), static_cast<uint64_t>(result)});
  return result;
}

DWORD SimGetLastError(void) {
  const DWORD error = sim::M().lastError;
  Record("GetLastError", {error});
  return error;
}

void SimSetLastError(DWORD errorCode) {
  sim::M().lastError = errorCode;
  Record("SetLastError", {errorCode});
}

BOOL SimDeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                        LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                        void *overlapped) {
  std::vector<uint8_t> input = sim::Bytes(inBuffer, inBufferSize);
  const BOOL result = sim::DeviceControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                         outBufferSize, bytesReturned, overlapped);
  Record("DeviceIoControl",
         {sim::H(device), ioControlCode, inBufferSize, outBufferSize, sim::P(bytesReturned),
          sim::P(overlapped), static_cast<uint64_t>(result)},
         "", std::move(input));
  return result;
}

void SimOutputDebugStringW(LPCWSTR outputString) {
  if (outputString != nullptr) {
    sim::M().debugText += outputString;
  }
  Record("OutputDebugStringW", {}, sim::Text(outputString));
}

HRSRC SimFindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  const bool intName = sim::IsIntResource(name);
  const bool intType = sim::IsIntResource(type);
  const int id = intName ? static_cast<int>(reinterpret_cast<uintptr_t>(name)) : 0;
  HRSRC found = nullptr;
  if (module != nullptr) {
    sim::Fail(sim::kErrorResourceDataNotFound);
  } else if (!intType || type != RT_RCDATA) {
    sim::Fail(sim::kErrorResourceTypeNotFound);
  } else if (!intName || sim::LookUpResource(id) == nullptr) {
    sim::Fail(sim::kErrorResourceNameNotFound);
  } else {
    found = reinterpret_cast<HRSRC>(sim::kResourceInfoBase + id);
  }
  Record("FindResourceW",
         {sim::P(module), static_cast<uint64_t>(id),
          intType ? reinterpret_cast<uintptr_t>(type) : 0, sim::H(found)},
         intName ? "" : sim::Text(name));
  return found;
}

HGLOBAL SimLoadResource(HMODULE module, HRSRC resInfo) {
  const int id = sim::ResourceId(resInfo, sim::kResourceInfoBase);
  HGLOBAL loaded = nullptr;
  if (module != nullptr || id < 0) {
    sim::Fail(sim::kErrorResourceDataNotFound);
  } else {
    loaded = reinterpret_cast<HGLOBAL>(sim::kResourceDataBase + id);
  }
  Record("LoadResource", {sim::P(module), sim::H(resInfo), sim::H(loaded)});
  return loaded;
}

LPVOID SimLockResource(HGLOBAL resData) {
  static uint8_t empty = 0;
  const int id = sim::ResourceId(resData, sim::kResourceDataBase);
  void *bytes = nullptr;
  if (id >= 0) {
    const sim::Resource &resource = *sim::LookUpResource(id);
    bytes = resource.Size() > 0 ? const_cast<void *>(resource.Data()) : &empty;
  }
  Record("LockResource", {sim::H(resData), sim::P(bytes)});
  return bytes;
}

DWORD SimSizeofResource(HMODULE module, HRSRC resInfo) {
  const int id = sim::ResourceId(resInfo, sim::kResourceInfoBase);
  DWORD size = 0;
  if (module != nullptr || id < 0) {
    sim::Fail(sim::kErrorResourceDataNotFound);
  } else {
    size = static_cast<DWORD>(sim::LookUpResource(id)->Size());
  }
  Record("SizeofResource", {sim::P(module), sim::H(resInfo), size});
  return size;
}

DWORD SimGetTempPathW(DWORD bufferLength, LPWSTR buffer) {
  sim::EnsureTempFolder();
  const std::wstring folder = sim::FromUtf8(sim::M().tempFolder);
  DWORD result = 0;
  if (folder.empty()) {
    sim::Fail(ERROR_PATH_NOT_FOUND);
  } else if (folder.size() + 1 > bufferLength) {
    result = static_cast<DWORD>(folder.size() + 1); // the size needed, with the terminator
  } else if (buffer == nullptr) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else {
    std::copy(folder.begin(), folder.end(), buffer);
    buffer[folder.size()] = 0;
    result = static_cast<DWORD>(folder.size());
  }
  Record("GetTempPathW", {bufferLength, sim::P(buffer), result},
         result > 0 && result <= folder.size() ? sim::M().tempFolder : "");
  return result;
}

BOOL SimCreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes) {
  DWORD error = 0;
  const BOOL result =
      pathName != nullptr && sim::host::MakeFolder(sim::host::HostPath(pathName), &error)
          ? TRUE
          : sim::Fail(pathName != nullptr ? error : ERROR_INVALID_PARAMETER);
  Record("CreateDirectoryW", {sim::P(securityAttributes), static_cast<uint64_t>(result)},
         sim::Text(pathName));
  return result;
}

BOOL SimRemoveDirectoryW(LPCWSTR pathName) {
  DWORD error = 0;
  const BOOL result =
      pathName != nullptr && sim::host::RemoveFolder(sim::host::HostPath(pathName), &error)
          ? TRUE
          : sim::Fail(pathName != nullptr ? error : ERROR_INVALID_PARAMETER);
  Record("RemoveDirectoryW", {static_cast<uint64_t>(result)}, sim::Text(pathName));
  return result;
}

BOOL SimDeleteFileW(LPCWSTR fileName) {
  DWORD error = 0;
  const BOOL result =
      fileName != nullptr && sim::host::DeleteHostFile(sim::host::HostPath(fileName), &error)
          ? TRUE
          : sim::Fail(fileName != nullptr ? error : ERROR_INVALID_PARAMETER);
  Record("DeleteFileW", {static_cast<uint64_t>(result)}, sim::Text(fileName));
  return result;
}

BOOL SimWriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                  void *overlapped) {
  const BOOL result = sim::WriteBytes(file, buffer, bytesToWrite, bytesWritten, overlapped);
  Record("WriteFile",
         {sim::H(file), sim::P(buffer), bytesToWrite, sim::P(bytesWritten), sim::P(overlapped),
          static_cast<uint64_t>(result)},
         "", sim::Bytes(buffer, bytesToWrite));
  return result;
}

BOOL SimReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                 void *overlapped) {
  const BOOL result = sim::ReadBytes(file, buffer, bytesToRead, bytesRead, overlapped);
  Record("ReadFile",
         {sim::H(file), sim::P(buffer), bytesToRead, sim::P(bytesRead), sim::P(overlapped),
          static_cast<uint64_t>(result)},
         "", result ? sim::Bytes(buffer, *bytesRead) : std::vector<uint8_t>{});
  return result;
}

BOOL SimCreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                       LPSECURITY_ATTRIBUTES processAttributes,
                       LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                       DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                       LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
  std::vector<uint8_t> startup = sim::Bytes(startupInfo, sizeof(STARTUPINFOW));
  const BOOL result = sim::StartProcess(applicationName, commandLine, environment, currentDirectory,
                                        startupInfo, processInformation);
  Record("CreateProcessW",
         {sim::P(applicationName), sim::P(processAttributes), sim::P(threadAttributes),
          static_cast<uint64_t>(inheritHandles), creationFlags, sim::P(environment),
          sim::P(currentDirectory), sim::P(startupInfo), sim::P(processInformation),
          static_cast<uint64_t>(result)},
         sim::Text(commandLine != nullptr ? commandLine : applicationName), std::move(startup));
  return result;
}

DWORD SimWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  DWORD result = WAIT_FAILED;
  sim::HandleEntry *entry = sim::Find(handle);
  if (entry == nullptr ||
      (entry->kind != sim::HandleKind::Process && entry->kind != sim::HandleKind::Thread)) {
    sim::Fail(ERROR_INVALID_HANDLE);
  } else {
    result = sim::host::WaitProcess(entry->process->id, milliseconds, &sim::M().stdoutBytes);
  }
  Record("WaitForSingleObject", {sim::H(handle), milliseconds, result});
  return result;
}

BOOL SimGetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  BOOL result = FALSE;
  DWORD error = 0;
  sim::HandleEntry *entry = sim::Find(process);
  if (entry == nullptr || entry->kind != sim::HandleKind::Process) {
    sim::Fail(ERROR_INVALID_HANDLE);
  } else if (exitCode == nullptr) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else {
    result = sim::host::ExitCode(entry->process->id, exitCode, &error) ? TRUE : sim::Fail(error);
  }
  Record("GetExitCodeProcess", {sim::H(process), sim::P(exitCode), static_cast<uint64_t>(result)});
  return result;
}

HANDLE SimGetStdHandle(DWORD stdHandle) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (stdHandle == STD_INPUT_HANDLE) {
    handle = sim::ToHandle(sim::kStdInput);
  } else if (stdHandle == STD_OUTPUT_HANDLE) {
    handle = sim::ToHandle(sim::kStdOutput);
  } else if (stdHandle == STD_ERROR_HANDLE) {
    handle = sim::ToHandle(sim::kStdError);
  } else {
    sim::Fail(ERROR_INVALID_HANDLE);
  }
  Record("GetStdHandle", {stdHandle, sim::H(handle)});
  return handle;
}

void SimSleep(DWORD milliseconds) {
  if (sim::M().realTime) {
    sim::host::RealSleep(milliseconds);
  } else {
    sim::M().clockMs += milliseconds;
  }
  sim::detail::AdvanceDrives();
  Record("Sleep", {milliseconds});
}

BOOL SimGetConsoleMode(HANDLE consoleHandle, LPDWORD mode) {
  BOOL result = FALSE;
  if (!sim::M().isConsole || !sim::IsStdHandle(consoleHandle)) {
    sim::Fail(ERROR_INVALID_HANDLE);
  } else if (mode == nullptr) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else {
    // Processed input and output, as a fresh console has them.
    *mode = sim::IsStd(consoleHandle, sim::kStdInput) ? 0x1F7 : 0x3;
    result = TRUE;
  }
  Record("GetConsoleMode", {sim::H(consoleHandle), sim::P(mode), static_cast<uint64_t>(result)});
  return result;
}

UINT SimGetConsoleOutputCP(void) {
  const UINT codePage = sim::M().isConsole ? sim::M().codePage : 0;
  Record("GetConsoleOutputCP", {codePage});
  return codePage;
}

BOOL SimWriteConsoleW(HANDLE consoleOutput, const void *buffer, DWORD numberOfCharsToWrite,
                      LPDWORD numberOfCharsWritten, LPVOID reserved) {
  const wchar_t *text = static_cast<const wchar_t *>(buffer);
  BOOL result = FALSE;
  if (!sim::M().isConsole ||
      !(sim::IsStd(consoleOutput, sim::kStdOutput) || sim::IsStd(consoleOutput, sim::kStdError))) {
    sim::Fail(ERROR_INVALID_HANDLE);
  } else if (text == nullptr && numberOfCharsToWrite > 0) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else {
    const std::wstring written(text != nullptr ? text : L"", numberOfCharsToWrite);
    sim::M().consoleText += written;
    sim::WriteReal(sim::ToUtf8(written));
    if (numberOfCharsWritten != nullptr) {
      *numberOfCharsWritten = numberOfCharsToWrite;
    }
    result = TRUE;
  }
  Record("WriteConsoleW",
         {sim::H(consoleOutput), sim::P(buffer), numberOfCharsToWrite, sim::P(numberOfCharsWritten),
          sim::P(reserved), static_cast<uint64_t>(result)},
         "", sim::Utf16Bytes(text, numberOfCharsToWrite));
  return result;
}

int SimMultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int multiByteCount,
                           LPWSTR wideCharStr, int wideCharCount) {
  int result = 0;
  size_t size = 0;
  if (multiByteStr != nullptr && multiByteCount == -1) {
    size = std::strlen(multiByteStr) + 1;
  } else if (multiByteStr != nullptr && multiByteCount > 0) {
    size = static_cast<size_t>(multiByteCount);
  }
  const DWORD allowed =
      codePage == CP_UTF8 ? sim::kMbErrInvalidChars : sim::kMbErrInvalidChars | sim::kMbPrecomposed;
  std::wstring wide;
  DWORD error = 0;
  // The checks run in the platform's order; two of them give the same error.
  // NOLINTNEXTLINE(bugprone-branch-clone)
  if (codePage != CP_UTF8 && codePage != CP_SHIFT_JIS) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else if ((flags & ~allowed) != 0) {
    sim::Fail(sim::kErrorInvalidFlags);
  } else if (size == 0 || wideCharCount < 0 || (wideCharStr == nullptr && wideCharCount != 0)) {
    sim::Fail(ERROR_INVALID_PARAMETER);
  } else if (!sim::host::Decode(codePage, multiByteStr, size,
                                (flags & sim::kMbErrInvalidChars) != 0, &wide, &error)) {
    sim::Fail(error);
  } else if (wideCharCount == 0) {
    result = static_cast<int>(wide.size());
  } else if (wide.size() > static_cast<size_t>(wideCharCount)) {
    sim::Fail(ERROR_INSUFFICIENT_BUFFER);
  } else {
    std::copy(wide.begin(), wide.end(), wideCharStr);
    result = static_cast<int>(wide.size());
  }
  Record("MultiByteToWideChar",
         {codePage, flags, sim::P(multiByteStr), sim::I(multiByteCount), sim::P(wideCharStr),
          sim::I(wideCharCount), sim::I(result)},
         "", sim::Bytes(multiByteStr, size));
  return result;
}

BOOL SimSetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add) {
  BOOL result = TRUE;
  auto &handlers = sim::M().ctrlHandlers;
  if (handlerRoutine != nullptr) {
    auto it = std::find(handlers.begin(), handlers.end(), handlerRoutine);
    if (add) {
      handlers.push_back(handlerRoutine);
    } else if (it != handlers.end()) {
      handlers.erase(it);
    } else {
      result = sim::Fail(ERROR_INVALID_PARAMETER);
    }
  }
  Record("SetConsoleCtrlHandler", {sim::P(reinterpret_cast<const void *>(handlerRoutine)),
                                   static_cast<uint64_t>(add), static_cast<uint64_t>(result)});
  return result;
}

EXECUTION_STATE SimSetThreadExecutionState(EXECUTION_STATE flags) {
  const EXECUTION_STATE previous = sim::M().executionState;
  sim::M().executionState = flags;
  Record("SetThreadExecutionState", {flags, previous});
  return previous;
}

NTSTATUS SimBCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, UCHAR *buffer, ULONG bufferSize,
                            ULONG flags) {
  NTSTATUS status = 0;
  auto &queued = sim::M().randomBytes;
  if (algorithm != nullptr) {
    status = sim::kStatusInvalidHandle;
  } else if (flags != BCRYPT_USE_SYSTEM_PREFERRED_RNG || (buffer == nullptr && bufferSize > 0)) {
    status = sim::kStatusInvalidParameter;
  } else {
    ULONG given = 0;
    for (; given < bufferSize && !queued.empty(); given++) {
      buffer[given] = queued.front();
      queued.pop_front();
    }
    if (given < bufferSize && !sim::host::RandomBytes(buffer + given, bufferSize - given)) {
      status = sim::kStatusInvalidParameter;
    }
  }
  Record("BCryptGenRandom",
         {sim::P(algorithm), sim::P(buffer), bufferSize, flags, static_cast<uint32_t>(status)}, "",
         status == 0 ? sim::Bytes(buffer, bufferSize) : std::vector<uint8_t>{});
  return status;
}

int SimGetch(void) {
  int key = -1;
  auto &keys = sim::M().keys;
  if (sim::M().realConsole) {
    key = sim::host::ReadRealKey();
  } else if (!keys.empty()) {
    key = keys.front();
    keys.pop_front();
  }
  Record("_getch", {sim::I(key)});
  return key;
}
