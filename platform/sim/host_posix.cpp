// The host part of the simulated machine on Linux: real files, folders and
// child processes, the real terminal and clock. Paths the program builds with
// backslashes are mapped to '/'. Windows share modes are kept between the
// handles of this process.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/sim/host.h"

extern char **environ;

namespace sim {
namespace host {

namespace {

constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr DWORD kWaitTimeout = 258;

struct OpenFileRecord {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  DWORD access = 0;
  DWORD share = 0;
};

struct ChildRecord {
  pid_t pid = 0;
  int pipe = -1; // read end of the captured standard output
  bool exited = false;
  int status = 0;
  bool released = false;
};

std::map<FileId, OpenFileRecord> g_files;
std::map<ProcessId, ChildRecord> g_children;
ProcessId g_nextChild = 1;

DWORD ErrorFromErrno(int error, const std::string &path) {
  switch (error) {
  case ENOENT: {
    const size_t slash = path.find_last_of('/');
    struct stat info;
    const bool parentThere =
        slash == std::string::npos || slash == 0 || stat(path.substr(0, slash).c_str(), &info) == 0;
    return parentThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR:
  case EROFS:
    return ERROR_ACCESS_DENIED;
  case EEXIST:
    return kErrorFileExists;
  case ENOTEMPTY:
    return kErrorDirNotEmpty;
  case ENOEXEC:
    return kErrorBadExeFormat;
  default:
    return ERROR_IO_DEVICE;
  }
}

bool ReadsData(DWORD access) {
  return (access & (GENERIC_READ | 0x1u | 0x20u)) != 0;
}
bool WritesData(DWORD access) {
  return (access & (GENERIC_WRITE | 0x2u | 0x4u)) != 0;
}
bool Deletes(DWORD access) {
  return (access & DELETE) != 0;
}

// Whether a second open with `access` and `share` may stand beside `open`.
bool Compatible(const OpenFileRecord &open, DWORD access, DWORD share) {
  auto allows = [](DWORD granted, DWORD wanted) {
    return !(ReadsData(wanted) && (granted & FILE_SHARE_READ) == 0) &&
           !(WritesData(wanted) && (granted & FILE_SHARE_WRITE) == 0) &&
           !(Deletes(wanted) && (granted & FILE_SHARE_DELETE) == 0);
  };
  auto touchesData = [](DWORD a) { return ReadsData(a) || WritesData(a) || Deletes(a); };
  if (!touchesData(access) || !touchesData(open.access)) {
    return true; // an open for attributes only takes part in no share check
  }
  return allows(open.share, access) && allows(share, open.access);
}

void ListInto(const std::string &root, const std::string &relative, std::vector<std::string> *out) {
  DIR *dir = opendir((root + relative).c_str());
  if (dir == nullptr) {
    return;
  }
  while (dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string entryPath = relative + name;
    out->push_back(entryPath);
    struct stat info;
    if (lstat((root + entryPath).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      ListInto(root, entryPath + "/", out);
    }
  }
  closedir(dir);
}

// The Windows rules for a command line: the program name ends at the
// closing quote or the first blank; arguments are split at blanks outside
// quotes, 2n backslashes before a quote give n and the quote groups, 2n+1
// give n and a literal quote, "" inside quotes is a literal quote.
std::vector<std::string> SplitCommandLine(const std::string &line) {
  std::vector<std::string> args;
  size_t i = 0;
  std::string program;
  if (i < line.size() && line[i] == '"') {
    for (i++; i < line.size() && line[i] != '"'; i++) {
      program += line[i];
    }
    if (i < line.size()) {
      i++;
    }
  } else {
    for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; i++) {
      program += line[i];
    }
  }
  args.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
      i++;
    }
    if (i >= line.size()) {
      break;
    }
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        backslashes++;
        i++;
      }
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          i++;
        } else {
          quoted = !quoted;
        }
        i++;
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
          arg += line[i++];
        }
      }
    }
    args.push_back(arg);
  }
  return args;
}

std::string Slashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

bool IsRegularFile(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The program an unquoted command line names: like Windows, each prefix up
// to a blank is tried in turn (with ".exe" added), so an unquoted path with
// a blank may run another program than meant.
std::string ProgramOf(const std::string &line, const std::string &firstArg) {
  if (!line.empty() && line[0] == '"') {
    return Slashes(firstArg);
  }
  for (size_t end = 0; end <= line.size(); end++) {
    if (end == line.size() || line[end] == ' ' || line[end] == '\t') {
      std::string candidate = Slashes(line.substr(0, end));
      if (IsRegularFile(candidate)) {
        return candidate;
      }
      if (IsRegularFile(candidate + ".exe")) {
        return candidate + ".exe";
      }
    }
  }
  return Slashes(firstArg);
}

void Reap(ChildRecord &child, bool block) {
  if (child.exited) {
    return;
  }
  int status = 0;
  pid_t done;
  do {
    done = waitpid(child.pid, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == child.pid) {
    child.exited = true;
    child.status = status;
  }
}

// Reads what the pipe holds; waits at most `timeoutMs` (-1: until the end).
void Drain(ChildRecord &child, int timeoutMs, std::string *captured) {
  while (child.pipe >= 0) {
    pollfd ready{child.pipe, POLLIN, 0};
    const int n = poll(&ready, 1, timeoutMs);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    char chunk[4096];
    const ssize_t got = read(child.pipe, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      close(child.pipe);
      child.pipe = -1;
      return;
    }
    captured->append(chunk, static_cast<size_t>(got));
    if (timeoutMs >= 0) {
      timeoutMs = 0;
    }
  }
}

void Forget(ProcessId process) {
  auto it = g_children.find(process);
  if (it != g_children.end()) {
    if (it->second.pipe >= 0) {
      close(it->second.pipe);
    }
    g_children.erase(it);
  }
}

} // namespace

std::string NewTempFolder() {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/vx72m-sim-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    return "";
  }
  return pattern + "/";
}

void RemoveTree(const std::string &folder) {
  nftw(
      folder.c_str(),
      [](const char *path, const struct stat *, int, struct FTW *) {
        remove(path);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

bool MakeFolders(const std::string &folder) {
  for (size_t i = 1; i <= folder.size(); i++) {
    if (i == folder.size() || folder[i] == '/') {
      mkdir(folder.substr(0, i).c_str(), 0777);
    }
  }
  struct stat info;
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> ListTree(const std::string &folder) {
  std::vector<std::string> entries;
  ListInto(folder.back() == '/' ? folder : folder + "/", "", &entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string HostPath(LPCWSTR path) {
  return Slashes(ToUtf8(std::wstring(path)));
}

bool OpenHostFile(const std::string &path, DWORD access, DWORD share, DWORD disposition,
                  FileId *file, bool *existed, DWORD *error) {
  struct stat info;
  *existed = stat(path.c_str(), &info) == 0;
  if (*existed && S_ISDIR(info.st_mode)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  if (*existed && disposition != CREATE_NEW) {
    for (const auto &[id, open] : g_files) {
      if (open.device == info.st_dev && open.inode == info.st_ino &&
          !Compatible(open, access, share)) {
        *error = ERROR_SHARING_VIOLATION;
        return false;
      }
    }
  }
  int flags = O_CLOEXEC;
  if (disposition == CREATE_NEW) {
    flags |= O_CREAT | O_EXCL | O_RDWR;
  } else if (disposition == CREATE_ALWAYS) {
    flags |= O_CREAT | O_TRUNC | O_RDWR;
  } else {
    flags |= WritesData(access) ? (ReadsData(access) ? O_RDWR : O_WRONLY) : O_RDONLY;
  }
  const int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) {
    *error = ErrorFromErrno(errno, path);
    return false;
  }
  OpenFileRecord record;
  record.fd = fd;
  fstat(fd, &info);
  record.device = info.st_dev;
  record.inode = info.st_ino;
  record.access = access;
  record.share = share;
  g_files[fd] = record;
  *file = fd;
  return true;
}

bool ReadHostFile(FileId file, void *buffer, DWORD size, DWORD *done, DWORD *error) {
  DWORD total = 0;
  while (total < size) {
    const ssize_t got =
        read(static_cast<int>(file), static_cast<char *>(buffer) + total, size - total);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *error = ErrorFromErrno(errno, "");
      return false;
    }
    if (got == 0) {
      break;
    }
    total += static_cast<DWORD>(got);
  }
  *done = total;
  return true;
}

bool WriteHostFile(FileId file, const void *buffer, DWORD size, DWORD *done, DWORD *error) {
  DWORD total = 0;
  while (total < size) {
    const ssize_t put =
        write(static_cast<int>(file), static_cast<const char *>(buffer) + total, size - total);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0) {
      *error = ErrorFromErrno(errno, "");
      *done = total;
      return false;
    }
    total += static_cast<DWORD>(put);
  }
  *done = total;
  return true;
}

void CloseHostFile(FileId file) {
  g_files.erase(file);
  close(static_cast<int>(file));
}

bool MakeFolder(const std::string &path, DWORD *error) {
  if (mkdir(path.c_str(), 0777) == 0) {
    return true;
  }
  *error = errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno, path);
  return false;
}

bool RemoveFolder(const std::string &path, DWORD *error) {
  if (rmdir(path.c_str()) == 0) {
    return true;
  }
  *error = errno == ENOTDIR ? kErrorDirectory : ErrorFromErrno(errno, path);
  return false;
}

bool DeleteHostFile(const std::string &path, DWORD *error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      *error = ERROR_ACCESS_DENIED;
      return false;
    }
    for (const auto &[id, open] : g_files) {
      if (open.device == info.st_dev && open.inode == info.st_ino &&
          (open.share & FILE_SHARE_DELETE) == 0) {
        *error = ERROR_SHARING_VIOLATION;
        return false;
      }
    }
  }
  if (unlink(path.c_str()) == 0) {
    return true;
  }
  *error = ErrorFromErrno(errno, path);
  return false;
}

bool StartProcess(LPCWSTR applicationName, LPCWSTR commandLine, ChildOutput output, FileId file,
                  ProcessId *process, DWORD *processId, DWORD *error) {
  const std::string line = commandLine != nullptr ? ToUtf8(std::wstring(commandLine)) : "";
  std::vector<std::string> args = SplitCommandLine(line);
  const std::string program =
      applicationName != nullptr ? HostPath(applicationName) : ProgramOf(line, args[0]);
  if (commandLine == nullptr) {
    args[0] = program;
  }
  for (std::string &arg : args) {
    arg = Slashes(arg);
  }
  struct stat info;
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error =
        stat(program.c_str(), &info) == 0 ? ERROR_ACCESS_DENIED : ErrorFromErrno(ENOENT, program);
    return false;
  }
  if ((info.st_mode & S_IXUSR) == 0) {
    chmod(program.c_str(), info.st_mode | S_IXUSR); // a file just written out is not executable
  }

  int pipeEnds[2] = {-1, -1};
  if (output == ChildOutput::Capture && pipe2(pipeEnds, O_CLOEXEC) != 0) {
    *error = ErrorFromErrno(errno, "");
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != ChildOutput::Inherit) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (output == ChildOutput::Capture) {
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  } else if (output == ChildOutput::File) {
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(file), 1);
  } else if (output == ChildOutput::Discard) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (pipeEnds[1] >= 0) {
    close(pipeEnds[1]);
  }
  if (spawned != 0) {
    if (pipeEnds[0] >= 0) {
      close(pipeEnds[0]);
    }
    *error = ErrorFromErrno(spawned, program);
    return false;
  }
  ChildRecord child;
  child.pid = pid;
  child.pipe = pipeEnds[0];
  *process = g_nextChild++;
  g_children[*process] = child;
  *processId = static_cast<DWORD>(pid);
  return true;
}

DWORD WaitProcess(ProcessId process, DWORD ms, std::string *captured) {
  auto it = g_children.find(process);
  if (it == g_children.end()) {
    return WAIT_FAILED;
  }
  ChildRecord &child = it->second;
  if (ms == INFINITE) {
    Drain(child, -1, captured);
    Reap(child, true);
    return WAIT_OBJECT_0;
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    Drain(child, 0, captured);
    Reap(child, false);
    if (child.exited) {
      Drain(child, 0, captured);
      return WAIT_OBJECT_0;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t elapsed =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= ms) {
      return kWaitTimeout;
    }
    Drain(child, 5, captured);
    if (child.pipe < 0) {
      usleep(2000);
    }
  }
}

bool ExitCode(ProcessId process, DWORD *code, DWORD *error) {
  auto it = g_children.find(process);
  if (it == g_children.end()) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  ChildRecord &child = it->second;
  Reap(child, false);
  if (!child.exited) {
    *code = STILL_ACTIVE;
  } else if (WIFEXITED(child.status)) {
    *code = static_cast<DWORD>(WEXITSTATUS(child.status));
  } else {
    *code = 128 + static_cast<DWORD>(WTERMSIG(child.status)); // as a shell reports it
  }
  return true;
}

void CloseProcess(ProcessId process, bool kill) {
  auto it = g_children.find(process);
  if (it == g_children.end()) {
    return;
  }
  ChildRecord &child = it->second;
  if (kill && !child.exited) {
    ::kill(child.pid, SIGKILL);
    Reap(child, true);
  }
  Reap(child, false);
  if (child.exited) {
    Forget(process);
  } else {
    child.released = true;
  }
}

void EndAllProcesses() {
  std::vector<ProcessId> all;
  all.reserve(g_children.size());
  for (const auto &[id, child] : g_children) {
    all.push_back(id);
  }
  for (ProcessId id : all) {
    CloseProcess(id, true);
  }
}

bool ModuleResource(int, const void **, size_t *) {
  return false;
}

bool Decode(UINT codePage, const char *bytes, size_t size, bool strict, std::wstring *out,
            DWORD *error) {
  iconv_t converter = iconv_open("WCHAR_T", codePage == CP_UTF8 ? "UTF-8" : "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  // What Windows puts in place of bytes it cannot read.
  const wchar_t replacement = codePage == CP_UTF8 ? wchar_t(0xFFFD) : wchar_t(0x30FB);
  out->clear();
  char *in = const_cast<char *>(bytes);
  size_t inLeft = size;
  bool ok = true;
  while (inLeft > 0) {
    wchar_t chunk[256];
    char *outPtr = reinterpret_cast<char *>(chunk);
    size_t outLeft = sizeof chunk;
    const size_t done = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out->append(chunk, (sizeof chunk - outLeft) / sizeof(wchar_t));
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      if (strict) {
        ok = false;
        break;
      }
      out->push_back(replacement);
      in++;
      inLeft--;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(converter);
  if (!ok) {
    *error = kErrorNoUnicodeTranslation;
  }
  return ok;
}

void WriteRealStdout(const void *bytes, size_t size) {
  const char *next = static_cast<const char *>(bytes);
  while (size > 0) {
    const ssize_t put = write(1, next, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return;
    }
    next += put;
    size -= static_cast<size_t>(put);
  }
}

int ReadRealKey() {
  if (!isatty(0)) {
    return -1;
  }
  termios saved;
  if (tcgetattr(0, &saved) != 0) {
    return -1;
  }
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSANOW, &raw);
  unsigned char key = 0;
  ssize_t got;
  do {
    got = read(0, &key, 1);
  } while (got < 0 && errno == EINTR);
  tcsetattr(0, TCSANOW, &saved);
  return got == 1 ? key : -1;
}

void RealSleep(DWORD ms) {
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

uint64_t RealMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool RandomBytes(uint8_t *buffer, size_t size) {
  while (size > 0) {
    const ssize_t got = getrandom(buffer, size, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    buffer += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

} // namespace host
} // namespace sim
