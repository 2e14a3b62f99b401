// The updater's side of the benchmarks: whole runs of the real updater on the
// simulated machine, each measured from inside through the drive's hook.
//
//   bench-updater first-write RUNS      start -> first WRITE BUFFER, the verifier's
//                                       wall time within it, and the time before it
//   bench-updater poll-cpu KIND SECONDS CPU seconds per minute of long write
//                                       (KIND: progress | unexpected), real time
//   bench-updater notice RUNS           drive finished -> next poll, ms, real time
//   bench-updater run                   one whole update (for peak memory)
//
// Results go to standard output, one number a line; the updater's own console
// output goes to /dev/null.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/sim/sim.h"
#include "updater/drive/discovery.h"
#include "updater/drive/drive_state.h"
#include "updater/linked_resources.h"

int wmain(int argc, wchar_t *argv[]);

namespace {

constexpr uint8_t WRITE_BUFFER = 0x3B;
constexpr uint8_t TEST_UNIT_READY = 0x00;
constexpr uint8_t MODE_COMMIT = 7;

FILE *g_results = nullptr;

double RealMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool IsCommand(const sim::ScsiCommand &command, uint8_t opcode) {
  return !command.cdb.empty() && command.cdb[0] == opcode;
}

void IgnoreEnd(int) {}

// A fresh machine with a VX72M at PR03 and no disc; `realTime` makes pauses
// real and the drive's long write follow the real clock.
sim::Drive &Prepare(bool realTime, uint32_t longWriteMs) {
  sim::Reset();
  ResetDriveState();
  InstallLinkedResources();
  g_EndProcess = IgnoreEnd;
  sim::Drive &drive = sim::AddVx72m('E', "PR03");
  drive.longWriteMs = longWriteMs;
  sim::UseRealConsoleAndTime(realTime);
  return drive;
}

void RunUpdater() {
  wchar_t program[] = L"VX72M_PR05_Updater.exe";
  wchar_t *args[] = {program, nullptr};
  wmain(1, args);
}

// Per run: start to the first WRITE BUFFER, and within it the verifier's own
// wall time (from the call before CreateProcessW to the return of
// WaitForSingleObject), and the time before the verifier starts (identification,
// gates, writing and checking the two staged files), all in ms.
int FirstWrite(int runs) {
  for (int run = 0; run < runs; run++) {
    sim::Drive &drive = Prepare(false, 0);
    double firstWrite = -1, lastCall = 0, verifierStart = -1, verifierEnd = -1;
    drive.hook = [&](const sim::ScsiCommand &command, sim::ScsiAnswer &) {
      if (firstWrite < 0 && IsCommand(command, WRITE_BUFFER)) {
        firstWrite = RealMs();
      }
      return false;
    };
    // Observers run after each call has done its work.
    sim::OnCall([&](const sim::Call &call) {
      const double now = RealMs();
      if (call.fn == "CreateProcessW") {
        verifierStart = lastCall;
      } else if (call.fn == "WaitForSingleObject" && verifierStart >= 0 && verifierEnd < 0) {
        verifierEnd = now;
      }
      lastCall = now;
    });
    const double start = RealMs();
    lastCall = start;
    RunUpdater();
    if (firstWrite < 0 || verifierEnd < 0 || !drive.updated) {
      fprintf(stderr, "bench-updater: the update did not run through\n");
      return 1;
    }
    fprintf(g_results, "%.3f %.3f %.3f\n", firstWrite - start, verifierEnd - verifierStart,
            verifierStart - start);
  }
  return 0;
}

// The drive reports progress normally for `seconds`, or answers every poll
// with an unexpected CHECK CONDITION (HARDWARE ERROR) until then and GOOD
// after.
int PollCpu(const std::string &kind, int seconds) {
  const bool unexpected = kind == "unexpected";
  const uint32_t longWriteMs = (uint32_t)seconds * 1000;
  sim::Drive &drive = Prepare(true, longWriteMs);
  double cpuAtCommit = -1, wallAtCommit = 0;
  drive.hook = [&](const sim::ScsiCommand &command, sim::ScsiAnswer &answer) {
    if (IsCommand(command, WRITE_BUFFER) && (command.cdb[1] & 0x1F) == MODE_COMMIT) {
      cpuAtCommit = CpuSeconds();
      wallAtCommit = RealMs();
      return false;
    }
    if (unexpected && cpuAtCommit >= 0 && IsCommand(command, TEST_UNIT_READY) &&
        RealMs() - wallAtCommit < longWriteMs) {
      answer.status = 0x02;
      const auto sense = sim::Sense(0x04, 0x44, 0x00);
      answer.sense.assign(sense.begin(), sense.end());
      return true;
    }
    return false;
  };
  RunUpdater();
  const double cpu = CpuSeconds() - cpuAtCommit;
  const double wallMinutes = (RealMs() - wallAtCommit) / 60000.0;
  if (cpuAtCommit < 0 || !drive.updated) {
    fprintf(stderr, "bench-updater: the update did not run through\n");
    return 1;
  }
  fprintf(g_results, "%.6f\n%.3f\n", cpu / wallMinutes, wallMinutes * 60);
  return 0;
}

// Long writes of different lengths, so the drive finishes at different points
// of the poll's pause.
int Notice(int runs) {
  for (int run = 0; run < runs; run++) {
    const uint32_t longWriteMs = 1000 + (uint32_t)run * 97;
    sim::Drive &drive = Prepare(true, longWriteMs);
    double noticed = -1;
    drive.hook = [&](const sim::ScsiCommand &command, sim::ScsiAnswer &) {
      if (noticed < 0 && drive.committed && IsCommand(command, TEST_UNIT_READY) &&
          sim::Now() >= drive.committedAt + longWriteMs) {
        noticed = (double)(sim::Now() - (drive.committedAt + longWriteMs));
      }
      return false;
    };
    RunUpdater();
    if (noticed < 0 || !drive.updated) {
      fprintf(stderr, "bench-updater: the update did not run through\n");
      return 1;
    }
    fprintf(g_results, "%.1f\n", noticed);
  }
  return 0;
}

long ResidentKiB() {
  FILE *status = fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (status != nullptr && fgets(line, sizeof(line), status) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kib = strtol(line + 6, nullptr, 10);
    }
  }
  if (status != nullptr) {
    fclose(status);
  }
  return kib;
}

// What the simulated machine itself holds (its log, the drive's firmware
// images and received commands, the captured console), in bytes.
size_t SimulatedMachineBytes(const sim::Drive &drive) {
  size_t held = drive.firmware.capacity() + drive.received.capacity();
  for (const sim::ScsiCommand &command : drive.commands) {
    held += command.data.capacity() + command.cdb.capacity();
  }
  for (const sim::Call &call : sim::Calls()) {
    held += call.data.capacity() + call.text.capacity();
  }
  return held + sim::Stdout().capacity();
}

// One whole update. Reports the resident memory just before the updater
// starts and what the simulated machine holds before and after it, so the
// process's peak can be taken apart.
int WholeRun() {
  sim::Drive &drive = Prepare(false, 5000);
  const size_t heldBefore = SimulatedMachineBytes(drive);
  const long residentBefore = ResidentKiB();
  RunUpdater();
  fprintf(g_results, "%ld\n%zu\n%zu\n", residentBefore, heldBefore, SimulatedMachineBytes(drive));
  return drive.updated ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  // Results keep the real standard output; the updater's text (written there
  // in real time) goes to /dev/null.
  g_results = fdopen(dup(1), "w");
  const int null = open("/dev/null", O_RDWR);
  if (g_results == nullptr || null < 0 || dup2(null, 1) < 0 || dup2(null, 0) < 0) {
    return 2;
  }
  const std::string mode = argc > 1 ? argv[1] : "";
  int status = 2;
  if (mode == "first-write" && argc == 3) {
    status = FirstWrite(atoi(argv[2]));
  } else if (mode == "poll-cpu" && argc == 4) {
    status = PollCpu(argv[2], atoi(argv[3]));
  } else if (mode == "notice" && argc == 3) {
    status = Notice(atoi(argv[2]));
  } else if (mode == "run" && argc == 2) {
    status = WholeRun();
  } else {
    fprintf(stderr, "usage: bench-updater first-write RUNS | poll-cpu progress|unexpected "
                    "SECONDS | notice RUNS | run\n");
  }
  fclose(g_results);
  return status;
}
