// Stands in for the verifier in a Windows test build of the updater: run in
// the verifier's place, while the updater holds its staged files, it tries to
// write, rename and delete both of them as any other process of the user
// could. Prints one line per attempt and exits 0 only when every attempt was
// refused.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

int g_allowed = 0;

void Report(const char *what, const wchar_t *name, bool done) {
  printf("%s %ls: %s\n", what, name, done ? "ALLOWED" : "refused");
  fflush(stdout);
  if (done)
    g_allowed++;
}

void Attack(const wchar_t *path, const wchar_t *name) {
  HANDLE h =
      CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  Report("write", name, h != INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE)
    CloseHandle(h);

  wchar_t moved[MAX_PATH + 8];
  swprintf(moved, MAX_PATH + 8, L"%ls.moved", path);
  bool renamed = MoveFileW(path, moved) != 0;
  Report("rename", name, renamed);
  if (renamed)
    MoveFileW(moved, path);

  Report("delete", name, DeleteFileW(path) != 0);
}

} // namespace

int wmain(int argc, wchar_t *argv[]) {
  if (argc < 2)
    return 2;
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(NULL, self, MAX_PATH) == 0)
    return 2;
  Attack(argv[1], L"FW.bin");
  Attack(self, L"SIGNVFY.EXE");
  return g_allowed == 0 ? 0 : 1;
}
