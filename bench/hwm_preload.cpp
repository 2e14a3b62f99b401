// Preloaded into a measured program: when the program ends, writes its peak
// resident memory (VmHWM, KiB) and its anonymous resident memory at the end
// (RssAnon, KiB) to the descriptor named by BENCH_HWM_FD. A
// fork's copy of the parent's pages never counts, unlike wait4's ru_maxrss.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int g_reportFd = -1;

// Only the measured program reports: its own children (the verifier the
// updater starts) neither inherit the descriptor nor load this again.
__attribute__((constructor)) static void TakeReportDescriptor() {
  const char *fd = getenv("BENCH_HWM_FD");
  if (fd != nullptr) {
    g_reportFd = atoi(fd);
    fcntl(g_reportFd, F_SETFD, FD_CLOEXEC);
  }
  unsetenv("BENCH_HWM_FD");
  unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void ReportPeakMemory() {
  const int status = open("/proc/self/status", O_RDONLY);
  if (g_reportFd < 0 || status < 0) {
    return;
  }
  char text[4096];
  const ssize_t got = read(status, text, sizeof(text) - 1);
  close(status);
  if (got <= 0) {
    return;
  }
  text[got] = 0;
  // VmHWM holds file pages too, which the kernel maps around each fault as
  // the page cache allows; RssAnon (at the end) is the program's own memory.
  const char *peak = strstr(text, "VmHWM:");
  const char *anon = strstr(text, "RssAnon:");
  if (peak != nullptr && anon != nullptr) {
    dprintf(g_reportFd, "%ld %ld\n", strtol(peak + 6, nullptr, 10), strtol(anon + 8, nullptr, 10));
  }
}
