// The simulated update: the real updater, run once on the simulated machine,
// on the real console and in real time.
//
//   simulated-update [PRESET | SCENARIO-FILE]
//
// Presets: update (the default: a VX72M at PR03, no disc, a long write of six
// seconds), disc, latest, no-drive, other-maker, failing-chunk,
// verifier-refuses, never-finishes. A scenario file holds one setting a line
// ('#' starts a comment):
//
//   drive E vx72m PR03            a VX72M at E: with that installed revision
//   drive F other <28 characters> another optical drive (the rest of the line)
//   media nodisc|ready|becoming   media of the last drive declared
//   long-write-ms 6000            how long its long write takes
//   long-write never-ends
//   fault <opcode> <occurrence> check <key> <asc> <ascq>
//   fault <opcode> <occurrence> transport <error code>
//   fault <opcode> <occurrence> vanish
//   verifier refuses              the carried package with one image byte changed
//   time virtual|real             virtual: pauses take no real time
//
// What the machine holds and what became of the drive go to standard error;
// standard output carries only the updater's own text.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "updater/drive/discovery.h"
#include "updater/package/package.h"
#if defined(HARNESS_LINKED_RESOURCES)
#include "updater/linked_resources.h"
#endif

int wmain(int argc, wchar_t *argv[]);

namespace {

struct Scenario {
  bool realTime = true;
  bool verifierRefuses = false;
};

const char *PresetText(const std::string &name) {
  if (name == "update")
    return "drive E vx72m PR03\nmedia nodisc\nlong-write-ms 6000\n";
  if (name == "disc")
    return "drive E vx72m PR03\nmedia ready\n";
  if (name == "latest")
    return "drive E vx72m PR05\n";
  if (name == "no-drive")
    return "";
  if (name == "other-maker")
    return "drive E other OTHERCO BD-RW  XR-2000     1.02\n";
  if (name == "failing-chunk")
    return "drive E vx72m PR03\nfault 0x3B 43 check 5 0x24 0\n"; // the 42nd chunk
  if (name == "verifier-refuses")
    return "drive E vx72m PR03\nverifier refuses\n";
  if (name == "never-finishes")
    return "drive E vx72m PR03\nlong-write never-ends\ntime virtual\n";
  return nullptr;
}

bool Fail(const std::string &line) {
  fprintf(stderr, "simulated-update: cannot read this scenario line: %s\n", line.c_str());
  return false;
}

bool ApplyScenario(const std::string &text, Scenario &scenario) {
  std::istringstream lines(text);
  std::string line;
  sim::Drive *drive = nullptr;
  while (std::getline(lines, line)) {
    size_t hash = line.find('#');
    std::string body = line.substr(0, hash);
    std::istringstream words(body);
    std::string key;
    if (!(words >> key))
      continue;
    if (key == "drive") {
      std::string letter, kind;
      if (!(words >> letter >> kind) || letter.size() != 1)
        return Fail(line);
      if (kind == "vx72m") {
        std::string revision;
        if (!(words >> revision) || revision.size() != 4)
          return Fail(line);
        drive = &sim::AddVx72m(letter[0], revision.c_str());
      } else if (kind == "other") {
        std::string rest;
        std::getline(words, rest);
        rest = rest.substr(rest.find_first_not_of(' '));
        rest.resize(28, ' ');
        drive = &sim::AddDrive(letter[0], rest);
      } else {
        return Fail(line);
      }
    } else if (key == "time") {
      std::string mode;
      words >> mode;
      if (mode != "virtual" && mode != "real")
        return Fail(line);
      scenario.realTime = mode == "real";
    } else if (key == "verifier") {
      std::string what;
      if (!(words >> what) || what != "refuses")
        return Fail(line);
      scenario.verifierRefuses = true;
    } else if (drive == nullptr) {
      return Fail(line + "   (declare a drive first)");
    } else if (key == "media") {
      std::string media;
      words >> media;
      if (media == "nodisc")
        drive->media = sim::Media::NoDisc;
      else if (media == "ready")
        drive->media = sim::Media::Ready;
      else if (media == "becoming")
        drive->media = sim::Media::BecomingReady;
      else
        return Fail(line);
    } else if (key == "long-write-ms") {
      if (!(words >> drive->longWriteMs))
        return Fail(line);
    } else if (key == "long-write") {
      std::string what;
      if (!(words >> what) || what != "never-ends")
        return Fail(line);
      drive->longWriteNeverEnds = true;
    } else if (key == "fault") {
      std::string opcode, kind;
      sim::Fault fault;
      if (!(words >> opcode >> fault.occurrence >> kind))
        return Fail(line);
      fault.opcode = (int)strtol(opcode.c_str(), nullptr, 0);
      if (kind == "check") {
        std::string k, asc, ascq;
        if (!(words >> k >> asc >> ascq))
          return Fail(line);
        fault.kind = sim::FaultKind::CheckCondition;
        fault.sense = sim::Sense((uint8_t)strtol(k.c_str(), nullptr, 0),
                                 (uint8_t)strtol(asc.c_str(), nullptr, 0),
                                 (uint8_t)strtol(ascq.c_str(), nullptr, 0));
      } else if (kind == "transport") {
        fault.kind = sim::FaultKind::Transport;
        if (!(words >> fault.error))
          return Fail(line);
      } else if (kind == "vanish") {
        fault.kind = sim::FaultKind::Vanish;
      } else {
        return Fail(line);
      }
      drive->faults.push_back(fault);
    } else {
      return Fail(line);
    }
  }
  return true;
}

std::vector<unsigned char> g_refusedPackage;

void DescribeMachine() {
  fprintf(stderr, "[simulated machine:");
  bool any = false;
  for (char letter = 'A'; letter <= 'Z'; letter++) {
    const sim::Drive *drive = sim::DriveAt(letter);
    if (drive == nullptr)
      continue;
    any = true;
    std::string name = drive->identification;
    if (name.empty()) {
      name.assign((const char *)drive->firmware.data() + sim::kRevisionBlockOffset, 28);
    }
    for (char &c : name)
      c = c == 0 ? '.' : c;
    const char *media = drive->media == sim::Media::NoDisc  ? "no disc"
                        : drive->media == sim::Media::Ready ? "a disc in"
                                                            : "a disc becoming ready";
    fprintf(stderr, " %c: \"%s\", %s;", letter, name.c_str(), media);
  }
  fprintf(stderr, "%s]\n\n", any ? "" : " no optical drive");
}

void DescribeOutcome() {
  for (char letter = 'A'; letter <= 'Z'; letter++) {
    const sim::Drive *drive = sim::DriveAt(letter);
    if (drive == nullptr)
      continue;
    const uint8_t *tag = drive->firmware.data() + sim::kRevisionBlockOffset + 24;
    fprintf(stderr, "\n[drive %c: installed revision %.4s%s; media change notification %s]\n",
            letter, (const char *)tag, drive->updated ? " (updated in this run)" : "",
            drive->mcnDisabled ? "still off" : "on");
  }
}

void EndProcess(int status) {
  DescribeOutcome();
  exit(status);
}

} // namespace

int main(int argc, char **argv) {
  std::string choice = argc > 1 ? argv[1] : "update";
  std::string text;
  if (const char *preset = PresetText(choice)) {
    text = preset;
  } else {
    std::ifstream file(choice);
    if (!file) {
      fprintf(stderr,
              "simulated-update: no preset or scenario file named '%s'\n"
              "presets: update disc latest no-drive other-maker failing-chunk "
              "verifier-refuses never-finishes\n",
              choice.c_str());
      return 2;
    }
    std::stringstream content;
    content << file.rdbuf();
    text = content.str();
  }

  sim::Reset();
#if defined(HARNESS_LINKED_RESOURCES)
  InstallLinkedResources(); // elsewhere the program's own resources serve
#endif
  Scenario scenario;
  if (!ApplyScenario(text, scenario))
    return 2;
  if (scenario.verifierRefuses) {
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID), RT_RCDATA);
    const auto *package = (const unsigned char *)LockResource(LoadResource(NULL, resource));
    g_refusedPackage.assign(package, package + SizeofResource(NULL, resource));
    g_refusedPackage[4 + 0x1000] ^= 0x01; // one image byte: the signature no longer matches
    sim::SetResource(PACKAGE_RESOURCE_ID, g_refusedPackage.data(), g_refusedPackage.size());
  }
  // On a terminal the Japanese texts are shown as a console shows them (the
  // updater converts them); into a file or pipe they go as Shift-JIS bytes.
  sim::SetConsole(isatty(1) != 0, CP_UTF8);
  sim::UseRealConsole(true);
  sim::UseRealTime(scenario.realTime);
  g_EndProcess = EndProcess;

  DescribeMachine();
  wchar_t program[] = L"VX72M_PR05_Updater.exe";
  wchar_t *args[] = {program, nullptr};
  int status = wmain(1, args);
  DescribeOutcome();
  return status;
}
