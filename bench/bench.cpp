// The benchmarks: prints one table of ratios and counts, each the median of
// repeated runs in this one process's session, with the raw times beside it.
//
//   bench BUILD-DIR SOURCE-DIR [RUNS]
//
// BUILD-DIR holds signvfy (verifier/), fwpkg (tools/) and bench-updater; the
// carried package and the development keys come from SOURCE-DIR.
#include <fcntl.h>
#include <stdarg.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <mbedtls/ecdsa.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

#include "trust_texts.h"
#include "verifier.h"

namespace {

std::string g_build, g_source, g_work;

double Ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median of the ratios of runs made one right after the other: the
// machine's speed drifts, and each pair shares its moment.
double MedianRatio(const std::vector<double> &top, const std::vector<double> &bottom) {
  std::vector<double> ratios;
  for (size_t i = 0; i < top.size() && i < bottom.size(); i++)
    ratios.push_back(top[i] / bottom[i]);
  return Median(ratios);
}

std::string Raw(const std::vector<double> &values, const char *unit) {
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  char text[160];
  snprintf(text, sizeof(text), "median %.2f %s (min %.2f, max %.2f, n=%zu)", Median(values), unit,
           sorted.front(), sorted.back(), values.size());
  return text;
}

[[noreturn]] void Die(const std::string &what) {
  fprintf(stderr, "bench: %s\n", what.c_str());
  exit(1);
}

struct Outcome {
  int status = -1;
  double ms = 0;
  double cpuMs = 0; // the child's user and system time
  long maxRssKiB = 0;
  long anonKiB = 0; // anonymous resident memory at the end
  std::string out;
};

// Runs `argv` with standard input and error from/to /dev/null, standard
// output captured; wall time from fork to reaping. With `peak`, the program
// reports its own peak resident memory through the preloaded bench-hwm.
Outcome Spawn(const std::vector<std::string> &args, bool peak = false) {
  int pipeEnds[2];
  int hwmEnds[2];
  if (pipe(pipeEnds) != 0 || pipe(hwmEnds) != 0)
    Die("pipe");
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  Outcome outcome;
  const double start = Ms();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(pipeEnds[1], 1);
    dup2(null, 2);
    close(pipeEnds[0]);
    if (peak) {
      dup2(hwmEnds[1], 3);
      setenv("BENCH_HWM_FD", "3", 1);
      setenv("LD_PRELOAD", (g_build + "/bench-hwm.so").c_str(), 1);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  close(hwmEnds[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeEnds[0], buffer, sizeof(buffer))) > 0)
    outcome.out.append(buffer, got);
  close(pipeEnds[0]);
  int status = 0;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  outcome.ms = Ms() - start;
  outcome.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::string hwm;
  while ((got = read(hwmEnds[0], buffer, sizeof(buffer))) > 0)
    hwm.append(buffer, got);
  close(hwmEnds[0]);
  outcome.maxRssKiB = -1;
  if (peak)
    sscanf(hwm.c_str(), "%ld %ld", &outcome.maxRssKiB, &outcome.anonKiB);
  if (peak && outcome.maxRssKiB <= 0)
    Die("no peak memory report from " + args[0]);
  return outcome;
}

std::vector<double> Numbers(const std::string &text) {
  std::istringstream in(text);
  std::vector<double> values;
  double v;
  while (in >> v)
    values.push_back(v);
  return values;
}

std::vector<unsigned char> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    Die("cannot read " + path);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const unsigned char *bytes, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes, 1, size, f) != size || fclose(f) != 0)
    Die("cannot write " + path);
}

// The verifier's library work on the package held in memory: SHA-256 of the
// image, the chain check, and one signature check with the signing key.
struct Times {
  double wall, cpu;
  double hashCpu; // the SHA-256 of the image alone
};

double CpuMs() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

Times LibraryFloor(const std::vector<unsigned char> &package) {
  const uint32_t imageLen =
      (package[0] << 24) | (package[1] << 16) | (package[2] << 8) | package[3];
  const unsigned char *sig = package.data() + 4 + imageLen + 2;
  const size_t sigLen = (package[4 + imageLen] << 8) | package[4 + imageLen + 1];
  const double start = Ms();
  const double cpuStart = CpuMs();
  unsigned char hash[32];
  mbedtls_sha256_context sha;
  mbedtls_sha256_init(&sha);
  mbedtls_sha256_starts_ret(&sha, 0);
  mbedtls_sha256_update_ret(&sha, package.data() + 4, imageLen);
  mbedtls_sha256_finish_ret(&sha, hash);
  mbedtls_sha256_free(&sha);
  const double hashCpu = CpuMs() - cpuStart;
  if (VerifyCertificateChain() != 0)
    Die("chain check failed");
  mbedtls_x509_crt dm;
  mbedtls_x509_crt_init(&dm);
  if (mbedtls_x509_crt_parse(&dm, (const unsigned char *)dm_crt_pem, dm_crt_pem_len) != 0)
    Die("dm.crt does not parse");
  if (mbedtls_ecdsa_read_signature(mbedtls_pk_ec(dm.pk), hash, 32, sig, sigLen) != 0)
    Die("the carried package's signature does not verify");
  mbedtls_x509_crt_free(&dm);
  return {Ms() - start, CpuMs() - cpuStart, hashCpu};
}

struct Row {
  std::string figure, value, goal, raw;
};
std::vector<Row> g_rows;

__attribute__((format(printf, 1, 2))) std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[64];
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3)
    Die("usage: bench BUILD-DIR SOURCE-DIR [RUNS]");
  g_build = argv[1];
  g_source = argv[2];
  const int runs = argc > 3 ? atoi(argv[3]) : 21;
  char workTemplate[] = "/tmp/vx72m-bench-XXXXXX";
  if (mkdtemp(workTemplate) == nullptr)
    Die("mkdtemp");
  g_work = workTemplate;

  const std::string verifier = g_build + "/verifier/signvfy";
  const std::string updater = g_build + "/bench-updater";
  const std::string package = g_source + "/resources/firmware-PR05.pkg";
  const std::vector<unsigned char> bytes = ReadFile(package);
  const uint32_t imageLen = (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
  const size_t sigLen = (bytes[4 + imageLen] << 8) | bytes[4 + imageLen + 1];
  WriteFile(g_work + "/image.bin", bytes.data() + 4, imageLen);
  WriteFile(g_work + "/image.sig", bytes.data() + 4 + imageLen + 2, sigLen);
  if (Spawn({"openssl", "x509", "-in", g_source + "/anchors/development-only/dm.crt", "-pubkey",
             "-noout", "-out", g_work + "/dm.pub"})
          .status != 0)
    Die("openssl x509 -pubkey failed");

  // 1 and 2: the verifier, its library floor and its peer, interleaved so
  // that any drift of the machine touches all three alike.
  std::vector<double> verifierMs, floorMs, opensslMs, verifierCpu, floorCpu, opensslCpu;
  std::vector<double> routineMs, routineCpu; // VerifyFirmwareFile in this process
  std::vector<double> hashCpu;
  std::vector<double> readerMs; // a process that only reads the package, as the verifier does
  const std::vector<std::string> peer = {"openssl",
                                         "dgst",
                                         "-sha256",
                                         "-verify",
                                         g_work + "/dm.pub",
                                         "-signature",
                                         g_work + "/image.sig",
                                         g_work + "/image.bin"};
  for (int i = 0; i < runs; i++) {
    Outcome v = Spawn({verifier, package});
    if (v.status != 0)
      Die("the verifier refused the carried package");
    verifierMs.push_back(v.ms);
    verifierCpu.push_back(v.cpuMs);
    const Times floor = LibraryFloor(bytes);
    floorMs.push_back(floor.wall);
    floorCpu.push_back(floor.cpu);
    hashCpu.push_back(floor.hashCpu);
    Outcome reader = Spawn({"dd", "if=" + package, "of=/dev/null", "bs=4096", "status=none"});
    if (reader.status != 0)
      Die("dd could not read the carried package");
    readerMs.push_back(reader.ms);
    const double routineStart = Ms(), routineCpuStart = CpuMs();
    if (VerifyFirmwareFile("", package.c_str()) != 0)
      Die("the verifier's routine refused the carried package");
    routineMs.push_back(Ms() - routineStart);
    routineCpu.push_back(CpuMs() - routineCpuStart);
    Outcome o = Spawn(peer);
    if (o.status != 0)
      Die("openssl refused the carried package: " + o.out);
    opensslMs.push_back(o.ms);
    opensslCpu.push_back(o.cpuMs);
  }
  const double verifierMedian = Median(verifierMs);
  g_rows.push_back(
      {"1 verifier / its library floor", Format("%.3f", MedianRatio(verifierMs, floorMs)),
       "<= 1.15",
       "verifier " + Raw(verifierMs, "ms") + "; floor " + Raw(floorMs, "ms") +
           "; CPU time: verifier " + Raw(verifierCpu, "ms") + ", floor " + Raw(floorCpu, "ms") +
           ", ratio " + Format("%.3f", MedianRatio(verifierCpu, floorCpu)) +
           "; a process that only reads the package in 4 KiB pieces (dd): " + Raw(readerMs, "ms") +
           ", floor + that " + Format("%.2f ms", Median(floorMs) + Median(readerMs)) +
           "; the verifier's routine in this process (file read included): " +
           Raw(routineMs, "ms") + ", CPU " + Raw(routineCpu, "ms")});
  g_rows.push_back({"2 verifier / openssl dgst -verify",
                    Format("%.3f", MedianRatio(verifierMs, opensslMs)), "<= 1.5 (reported)",
                    "openssl " + Raw(opensslMs, "ms") + "; CPU time: openssl " +
                        Raw(opensslCpu, "ms") + ", ratio " +
                        Format("%.3f", MedianRatio(verifierCpu, opensslCpu)) +
                        "; of the verifier's floor, mbed TLS's SHA-256 of the image alone takes " +
                        Raw(hashCpu, "ms CPU")});

  // 3: start of the updater to its first WRITE BUFFER, zero-latency drive.
  Outcome first = Spawn({updater, "first-write", std::to_string(runs)});
  if (first.status != 0)
    Die("bench-updater first-write failed");
  const std::vector<double> pairs = Numbers(first.out);
  std::vector<double> firstMs, inRunVerifierMs, firstRatio, beforeVerifierMs, afterVerifierMs;
  for (size_t i = 0; i + 2 < pairs.size(); i += 3) {
    firstMs.push_back(pairs[i]);
    inRunVerifierMs.push_back(pairs[i + 1]);
    beforeVerifierMs.push_back(pairs[i + 2]);
    afterVerifierMs.push_back(pairs[i] - pairs[i + 1] - pairs[i + 2]);
    firstRatio.push_back(pairs[i] / pairs[i + 1]);
  }
  if (firstMs.empty())
    Die("bench-updater first-write gave no figures");
  g_rows.push_back(
      {"3 updater start -> first WRITE BUFFER / the verifier's wall time in that run",
       Format("%.3f", Median(firstRatio)), "<= 1.3",
       "updater " + Raw(firstMs, "ms") + "; its verifier " + Raw(inRunVerifierMs, "ms") +
           "; before the verifier (gates, staging both files, reading them back) " +
           Raw(beforeVerifierMs, "ms") + "; after it (deleting them, the first command) " +
           Raw(afterVerifierMs, "ms") + "; against the verifier run alone above: " +
           Format("%.3f", Median(firstMs) / verifierMedian)});

  // 4: CPU per minute of the long write, in real time.
  const int pollSeconds = 15;
  for (const char *kind : {"progress", "unexpected"}) {
    Outcome cpu = Spawn({updater, "poll-cpu", kind, std::to_string(pollSeconds)});
    const std::vector<double> values = Numbers(cpu.out);
    if (cpu.status != 0 || values.size() != 2)
      Die(std::string("bench-updater poll-cpu ") + kind);
    g_rows.push_back({std::string("4 updater CPU per minute of long write, drive ") +
                          (kind == std::string("progress") ? "reporting progress"
                                                           : "answering an unexpected status"),
                      Format("%.4f s", values[0]), "<= 0.1 s",
                      Format("one long write of %.1f s, real time", values[1])});
  }

  // 5: the drive finishing to the updater's next poll.
  Outcome notice = Spawn({updater, "notice", "5"});
  if (notice.status != 0)
    Die("bench-updater notice failed");
  const std::vector<double> noticeMs = Numbers(notice.out);
  g_rows.push_back({"5 drive finished -> updater notices",
                    Format("%.0f ms", *std::max_element(noticeMs.begin(), noticeMs.end())),
                    "<= 500 ms (worst of the runs)", Raw(noticeMs, "ms")});

  // 6: peak resident memory of the verifier, 2 MiB and 256 MiB images.
  {
    const size_t bigLen = 256u << 20;
    std::vector<unsigned char> image(bigLen);
    for (size_t i = 0; i < bigLen; i++)
      image[i] = (unsigned char)((i * 7) ^ (i >> 9));
    WriteFile(g_work + "/big.bin", image.data(), image.size());
  }
  if (Spawn({g_build + "/tools/fwpkg", "make", "--image", g_work + "/big.bin", "--key",
             g_source + "/anchors/development-only/dm.key", "--out", g_work + "/big.pkg"})
          .status != 0)
    Die("fwpkg make failed for the 256 MiB image");
  unlink((g_work + "/big.bin").c_str());
  std::vector<double> smallRss, bigRss, bigMs, smallAnon, bigAnon;
  for (int i = 0; i < 9; i++) {
    Outcome s = Spawn({verifier, package}, true);
    Outcome b = Spawn({verifier, g_work + "/big.pkg"}, true);
    if (s.status != 0 || b.status != 0)
      Die("the verifier refused a memory test package");
    smallRss.push_back((double)s.maxRssKiB);
    bigRss.push_back((double)b.maxRssKiB);
    smallAnon.push_back((double)s.anonKiB);
    bigAnon.push_back((double)b.anonKiB);
    bigMs.push_back(b.ms);
  }
  unlink((g_work + "/big.pkg").c_str());
  g_rows.push_back(
      {"6a verifier peak RSS, 256 MiB image - 2 MiB image",
       Format("%.0f KiB", Median(bigRss) - Median(smallRss)), "<= 64 KiB",
       "2 MiB: " + Raw(smallRss, "KiB") + "; 256 MiB: " + Raw(bigRss, "KiB") +
           "; difference of the minimums " +
           Format("%.0f KiB", *std::min_element(bigRss.begin(), bigRss.end()) -
                                  *std::min_element(smallRss.begin(), smallRss.end())) +
           "; anonymous memory at the end (RssAnon), 2 MiB: " + Raw(smallAnon, "KiB") +
           ", 256 MiB: " + Raw(bigAnon, "KiB") + "; 256 MiB run " + Raw(bigMs, "ms")});

  // The updater's peak memory on the simulated machine, taken apart: before
  // the run, what the simulated machine adds during it, and the rest, which
  // holds the updater's own use (its resources are read in place, so their
  // pages of the binary become resident; a copy of the package would add 2 MiB).
  std::vector<double> peak, before, simAdded, rest;
  for (int i = 0; i < 5; i++) {
    Outcome u = Spawn({updater, "run"}, true);
    const std::vector<double> v = Numbers(u.out);
    if (u.status != 0 || v.size() != 3)
      Die("bench-updater run failed");
    peak.push_back((double)u.maxRssKiB);
    before.push_back(v[0]);
    simAdded.push_back((v[2] - v[1]) / 1024);
    rest.push_back((double)u.maxRssKiB - v[0] - (v[2] - v[1]) / 1024);
  }
  struct stat info;
  if (stat(updater.c_str(), &info) != 0)
    Die("no " + updater);
  const double binaryKiB = info.st_size / 1024.0;
  g_rows.push_back({"6b updater peak RSS / its binary's size",
                    Format("%.2f", Median(peak) / binaryKiB), "(reported)",
                    "peak " + Raw(peak, "KiB") + "; binary " + Format("%.0f KiB", binaryKiB) +
                        " (the simulated build, package and verifier linked in)"});
  g_rows.push_back({"6c updater peak RSS growth beyond the simulated machine's own data",
                    Format("%.0f KiB", Median(rest)), "< 2048 KiB (no copy of the package)",
                    "resident before the run " + Format("%.0f KiB", Median(before)) +
                        "; the simulated machine adds " + Format("%.0f KiB", Median(simAdded)) +
                        " (its log, the drive's received image and commands)"});
  rmdir(g_work.c_str());

  printf("| Figure | Value | Goal | Raw |\n|---|---|---|---|\n");
  for (const Row &row : g_rows) {
    printf("| %s | %s | %s | %s |\n", row.figure.c_str(), row.value.c_str(), row.goal.c_str(),
           row.raw.c_str());
  }
  return 0;
}
