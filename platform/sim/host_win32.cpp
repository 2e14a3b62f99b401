// The host part of the simulated machine in the Windows test builds: files,
// folders, processes, the module's own resources and the temporary folder are
// the real ones of kernel32 (the seam's names are mapped to the simulation,
// so the real functions are named here after the mapping is undone).
#include <algorithm>

#include "platform/sim/host.h"

#undef CreateFileW
#undef CloseHandle
#undef GetLastError
#undef SetLastError
#undef ReadFile
#undef WriteFile
#undef CreateDirectoryW
#undef RemoveDirectoryW
#undef DeleteFileW
#undef CreateProcessW
#undef WaitForSingleObject
#undef GetExitCodeProcess
#undef GetStdHandle
#undef Sleep
#undef GetTempPathW
#undef MultiByteToWideChar
#undef FindResourceW
#undef LoadResource
#undef LockResource
#undef SizeofResource
#undef BCryptGenRandom
#undef _getch

#include <cstdio>
#include <map>

namespace sim {
namespace host {

namespace {

constexpr DWORD kWaitTimeout = 258;
constexpr int kStartAttempts = 3;

struct ChildRecord {
  HANDLE process = nullptr;
  HANDLE pipe = nullptr; // read end of the captured standard output
};

std::map<ProcessId, ChildRecord> g_children;
ProcessId g_nextChild = 1;

HANDLE Native(FileId file) {
  return reinterpret_cast<HANDLE>(file);
}

void ListInto(const std::wstring &root, const std::wstring &relative,
              std::vector<std::string> *out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + relative + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    std::string entry = ToUtf8(relative + name);
    std::replace(entry.begin(), entry.end(), '\\', '/');
    out->push_back(entry);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ListInto(root, relative + name + L"\\", out);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

void RemoveInside(const std::wstring &folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    const std::wstring path = folder + name;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      RemoveInside(path + L"\\");
      RemoveDirectoryW(path.c_str());
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::wstring WithSeparator(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') {
    folder += L'\\';
  }
  return folder;
}

// An inheritable handle for the child, opened on NUL or duplicated.
HANDLE Inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

HANDLE OpenNul(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                     nullptr);
}

void Drain(ChildRecord &child, bool block, std::string *captured) {
  while (child.pipe != nullptr) {
    DWORD available = 0;
    if (!block &&
        (!PeekNamedPipe(child.pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) {
        CloseHandle(child.pipe);
        child.pipe = nullptr;
      }
      return;
    }
    char chunk[4096];
    DWORD got = 0;
    if (!ReadFile(child.pipe, chunk, sizeof chunk, &got, nullptr) || got == 0) {
      CloseHandle(child.pipe);
      child.pipe = nullptr;
      return;
    }
    captured->append(chunk, got);
  }
}

} // namespace

std::string NewTempFolder() {
  wchar_t base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) {
    return "";
  }
  for (int attempt = 0; attempt < 16; attempt++) {
    uint8_t random[6];
    RandomBytes(random, sizeof random);
    std::wstring folder = std::wstring(base) + L"vx72m-sim-";
    for (uint8_t b : random) {
      folder += L"0123456789abcdef"[b >> 4];
      folder += L"0123456789abcdef"[b & 15];
    }
    if (CreateDirectoryW(folder.c_str(), nullptr)) {
      return ToUtf8(folder + L"\\");
    }
  }
  return "";
}

void RemoveTree(const std::string &folder) {
  const std::wstring path = WithSeparator(FromUtf8(folder));
  RemoveInside(path);
  RemoveDirectoryW(path.substr(0, path.size() - 1).c_str());
}

bool MakeFolders(const std::string &folder) {
  const std::wstring path = FromUtf8(folder);
  for (size_t i = 3; i <= path.size(); i++) {
    if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
      CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> ListTree(const std::string &folder) {
  std::vector<std::string> entries;
  ListInto(WithSeparator(FromUtf8(folder)), L"", &entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string HostPath(LPCWSTR path) {
  return ToUtf8(std::wstring(path));
}

bool OpenHostFile(const std::string &path, DWORD access, DWORD share, DWORD disposition,
                  FileId *file, bool *existed, DWORD *error) {
  const std::wstring name = FromUtf8(path);
  *existed = GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  HANDLE handle = CreateFileW(name.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  *file = reinterpret_cast<FileId>(handle);
  return true;
}

bool ReadHostFile(FileId file, void *buffer, DWORD size, DWORD *done, DWORD *error) {
  if (!ReadFile(Native(file), buffer, size, done, nullptr)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

bool WriteHostFile(FileId file, const void *buffer, DWORD size, DWORD *done, DWORD *error) {
  if (!WriteFile(Native(file), buffer, size, done, nullptr)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

void CloseHostFile(FileId file) {
  CloseHandle(Native(file));
}

bool MakeFolder(const std::string &path, DWORD *error) {
  if (CreateDirectoryW(FromUtf8(path).c_str(), nullptr)) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool RemoveFolder(const std::string &path, DWORD *error) {
  if (RemoveDirectoryW(FromUtf8(path).c_str())) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool DeleteHostFile(const std::string &path, DWORD *error) {
  if (DeleteFileW(FromUtf8(path).c_str())) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool StartProcess(LPCWSTR applicationName, LPCWSTR commandLine, ChildOutput output, FileId file,
                  ProcessId *process, DWORD *processId, DWORD *error) {
  std::wstring line = commandLine != nullptr ? commandLine : L"";
  HANDLE readEnd = nullptr;
  HANDLE childOut = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  switch (output) {
  case ChildOutput::Capture:
    if (!CreatePipe(&readEnd, &childOut, &inherit, 0)) {
      *error = GetLastError();
      return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    break;
  case ChildOutput::Inherit:
    childOut = Inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    break;
  case ChildOutput::File:
    childOut = Inheritable(Native(file));
    break;
  case ChildOutput::Discard:
    childOut = OpenNul(GENERIC_WRITE);
    break;
  }
  HANDLE childIn = output == ChildOutput::Inherit ? Inheritable(GetStdHandle(STD_INPUT_HANDLE))
                                                  : OpenNul(GENERIC_READ);
  HANDLE childErr = Inheritable(GetStdHandle(STD_ERROR_HANDLE));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = childErr;
  PROCESS_INFORMATION started{};
  // Wine now and then loses a child while it starts (the failure is its own,
  // the same start works a moment later); a test that wants a failed start asks
  // for one with SetCreateProcessError, so an unasked failure is tried again.
  BOOL ok = FALSE;
  for (int attempt = 1; attempt <= kStartAttempts && !ok; attempt++) {
    ok = CreateProcessW(applicationName, commandLine != nullptr ? line.data() : nullptr, nullptr,
                        nullptr, TRUE, 0, nullptr, nullptr, &startup, &started);
    *error = ok ? 0 : GetLastError();
    if (!ok) {
      fprintf(stderr, "host: CreateProcessW failed with error %lu (attempt %d of %d)\n",
              static_cast<unsigned long>(*error), attempt, kStartAttempts);
      Sleep(100);
    }
  }
  for (HANDLE handle : {childIn, childOut, childErr}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  if (!ok) {
    if (readEnd != nullptr) {
      CloseHandle(readEnd);
    }
    return false;
  }
  CloseHandle(started.hThread);
  ChildRecord child;
  child.process = started.hProcess;
  child.pipe = readEnd;
  *process = g_nextChild++;
  g_children[*process] = child;
  *processId = started.dwProcessId;
  return true;
}

DWORD WaitProcess(ProcessId process, DWORD ms, std::string *captured) {
  auto it = g_children.find(process);
  if (it == g_children.end()) {
    return WAIT_FAILED;
  }
  ChildRecord &child = it->second;
  if (ms == INFINITE) {
    Drain(child, true, captured);
    return WaitForSingleObject(child.process, INFINITE);
  }
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    Drain(child, false, captured);
    if (WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0) {
      Drain(child, false, captured);
      return WAIT_OBJECT_0;
    }
    if (GetTickCount64() - start >= ms) {
      return kWaitTimeout;
    }
    Sleep(2);
  }
}

bool ExitCode(ProcessId process, DWORD *code, DWORD *error) {
  auto it = g_children.find(process);
  if (it == g_children.end() || !GetExitCodeProcess(it->second.process, code)) {
    *error = it == g_children.end() ? ERROR_INVALID_HANDLE : GetLastError();
    return false;
  }
  return true;
}

void CloseProcess(ProcessId process, bool kill) {
  auto it = g_children.find(process);
  if (it == g_children.end()) {
    return;
  }
  if (kill && WaitForSingleObject(it->second.process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(it->second.process, 1);
    WaitForSingleObject(it->second.process, INFINITE);
  }
  CloseHandle(it->second.process);
  if (it->second.pipe != nullptr) {
    CloseHandle(it->second.pipe);
  }
  g_children.erase(it);
}

void EndAllProcesses() {
  while (!g_children.empty()) {
    CloseProcess(g_children.begin()->first, true);
  }
}

bool ModuleResource(int id, const void **bytes, size_t *size) {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_RCDATA);
  HGLOBAL loaded = info != nullptr ? LoadResource(nullptr, info) : nullptr;
  const void *locked = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (locked == nullptr) {
    return false;
  }
  *bytes = locked;
  *size = SizeofResource(nullptr, info);
  return true;
}

bool Decode(UINT codePage, const char *bytes, size_t size, bool strict, std::wstring *out,
            DWORD *error) {
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int count = static_cast<int>(size);
  const int needed = MultiByteToWideChar(codePage, flags, bytes, count, nullptr, 0);
  if (needed <= 0) {
    *error = GetLastError();
    return false;
  }
  out->assign(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(codePage, flags, bytes, count, out->data(), needed);
  return true;
}

void WriteRealStdout(const void *bytes, size_t size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(size), &written, nullptr);
}

int ReadRealKey() {
  return _getch();
}

void RealSleep(DWORD ms) {
  Sleep(ms);
}

uint64_t RealMs() {
  // The tick count moves in steps of about 16 ms; the performance counter
  // does not.
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<uint64_t>(counter.QuadPart) * 1000 / static_cast<uint64_t>(frequency.QuadPart);
}

bool RandomBytes(uint8_t *buffer, size_t size) {
  return BCryptGenRandom(nullptr, buffer, static_cast<ULONG>(size),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

} // namespace host
} // namespace sim
