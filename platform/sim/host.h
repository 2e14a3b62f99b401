// The host side of the simulated machine: what it really does on the disk and
// with processes, the real console and the real clock. host_posix.cpp serves
// Linux, host_win32.cpp the Windows test builds. Internal to platform/sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel32.h"

namespace sim {
namespace host {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

using FileId = intptr_t;
using ProcessId = intptr_t;

// A new empty folder under the host's temporary folder; its path ends with the
// host's separator. Empty when it cannot be made.
std::string NewTempFolder();
// Removes `folder` and everything in it; harmless when it is gone.
void RemoveTree(const std::string &folder);
// Creates `folder` and its missing parents; true when it exists afterwards.
bool MakeFolders(const std::string &folder);
// Everything under `folder`, recursively, as sorted relative paths ('/').
std::vector<std::string> ListTree(const std::string &folder);
// The host path for a path the program gave (UTF-8; on POSIX backslashes
// become '/').
std::string HostPath(LPCWSTR path);

// Ordinary files. Each returns false with a Windows error code in `error`.
// `existed` tells whether the file was there before the open.
bool OpenHostFile(const std::string &path, DWORD access, DWORD share, DWORD disposition,
                  FileId *file, bool *existed, DWORD *error);
bool ReadHostFile(FileId file, void *buffer, DWORD size, DWORD *done, DWORD *error);
bool WriteHostFile(FileId file, const void *buffer, DWORD size, DWORD *done, DWORD *error);
void CloseHostFile(FileId file);

bool MakeFolder(const std::string &path, DWORD *error);
bool RemoveFolder(const std::string &path, DWORD *error);
bool DeleteHostFile(const std::string &path, DWORD *error);

// Where a child's standard output goes.
enum class ChildOutput { Capture, Inherit, File, Discard };

// Starts the program named by `commandLine` (or `applicationName` when not
// null) with the Windows command-line rules; the child's standard output goes
// to `output` (`file` when ChildOutput::File).
bool StartProcess(LPCWSTR applicationName, LPCWSTR commandLine, ChildOutput output, FileId file,
                  ProcessId *process, DWORD *processId, DWORD *error);
// WAIT_OBJECT_0 when the process ended within `ms` (INFINITE: no limit),
// WAIT_TIMEOUT (258) otherwise, WAIT_FAILED on error. Captured output is
// appended to `captured` as it is drained.
DWORD WaitProcess(ProcessId process, DWORD ms, std::string *captured);
// The exit status, or STILL_ACTIVE while the process runs.
bool ExitCode(ProcessId process, DWORD *code, DWORD *error);
// Releases the process (killing it first when `kill`); a process still
// running is otherwise left to EndAllProcesses.
void CloseProcess(ProcessId process, bool kill);
// Kills and reaps every child still known (at Reset).
void EndAllProcesses();

// Resource `id` of type RT_RCDATA in the real module (Windows builds only).
bool ModuleResource(int id, const void **bytes, size_t *size);

// Narrow text in a code page (932 or CP_UTF8) as wide characters; false with
// ERROR_NO_UNICODE_TRANSLATION when `strict` and the bytes are not valid.
bool Decode(UINT codePage, const char *bytes, size_t size, bool strict, std::wstring *out,
            DWORD *error);

// The real console and clock, for the simulated update.
void WriteRealStdout(const void *bytes, size_t size);
int ReadRealKey();
void RealSleep(DWORD ms);
uint64_t RealMs();
// Unpredictable bytes from the host.
bool RandomBytes(uint8_t *buffer, size_t size);

} // namespace host

// UTF-8 <-> wide text, for the log and the paths (UTF-16 or UTF-32 wchar_t).
std::string ToUtf8(const wchar_t *text, size_t size);
std::string ToUtf8(const std::wstring &text);
std::wstring FromUtf8(const std::string &text);

} // namespace sim
