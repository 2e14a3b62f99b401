// A whole updater run on the simulated machine, as the tests of the update
// procedure, the entry and the staging use it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "updater/drive/discovery.h"
#include "updater/drive/drive_state.h"
#include "updater/linked_resources.h"
#include "updater/messages.h"

int wmain(int argc, wchar_t *argv[]);

namespace update_test {

// The identification of the simulated VX72M at a revision.
inline std::string Identification(const char *revision) {
  return std::string("KORVANEXBD-RE VX72M     ") + revision;
}

// One whole run's result.
struct RunResult {
  int status = -1;    // wmain's return value, or the status the process ended with
  bool ended = false; // the process was ended by the updater (no target drive)
  std::string out;    // standard output, byte for byte
};

class UpdaterRun : public ::testing::Test {
protected:
  void SetUp() override {
    sim::Reset();
    ResetDriveState();
    InstallLinkedResources();
    g_EndProcess = RecordEnd;
    s_ended = false;
    s_endStatus = -1;
  }

  RunResult Run(std::vector<std::wstring> args = {}) {
    std::vector<std::wstring> storage = {L"VX72M_PR05_Updater.exe"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<wchar_t *> argv;
    for (auto &a : storage)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    RunResult result;
    result.status = wmain((int)storage.size(), argv.data());
    result.ended = s_ended;
    if (s_ended)
      result.status = s_endStatus;
    result.out = sim::Stdout();
    return result;
  }

  // The drive commands the simulated drive received, opcodes in order.
  static std::vector<int> Opcodes(const sim::Drive &drive) {
    std::vector<int> opcodes;
    for (const auto &c : drive.commands)
      opcodes.push_back(c.cdb.empty() ? -1 : c.cdb[0]);
    return opcodes;
  }

  static std::string Report(const char *message) {
    return std::string(message) + "\n" + MSG_PRESS_ANY_KEY + "\n";
  }

  static std::string Header(const char *revision) {
    return "Tervalune FW Updater for VX72M (PR05)\n\nTarget Drive : " + Identification(revision) +
           "\n\n";
  }

private:
  static void RecordEnd(int status) {
    s_ended = true;
    s_endStatus = status;
  }
  static inline bool s_ended = false;
  static inline int s_endStatus = -1;
};

} // namespace update_test
