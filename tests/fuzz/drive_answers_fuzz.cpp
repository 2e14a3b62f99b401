// Fuzz target: a whole updater run on the simulated machine while the drive
// answers, command by command, what the input says: the model's own answer,
// a transport failure, the drive vanishing, CHECK CONDITION with any sense
// bytes, or any status with any data-in bytes (INQUIRY data, revision blocks).
//
// Stops, besides the sanitizers' findings, when the updater
//   - sends a drive command after it has waited for the closing key press,
//   - sends WRITE BUFFER although the verifier refused the package,
//   - sends more commands than a run can need (the poll is bounded),
//   - leaves anything in the temporary folder.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "updater/drive/discovery.h"
#include "updater/drive/drive_state.h"
#include "updater/linked_resources.h"

int wmain(int argc, wchar_t *argv[]);

namespace {

// Discovery, the gates, 1 + 128 + 1 download commands, a bounded poll and the
// commands after it fit well within this.
constexpr size_t COMMAND_LIMIT = 2000;

constexpr uint8_t WRITE_BUFFER = 0x3B;

// Stand-ins for the verifier: the updater runs whichever it is given, and only
// the verdict matters here (the verifier has its own target).
const char ACCEPTING_VERIFIER[] = "#!/bin/sh\nexit 0\n";
const char REFUSING_VERIFIER[] = "#!/bin/sh\nexit 8\n";

bool g_keyWaited = false;
bool g_verifierRefuses = false;

[[noreturn]] void Stop(const char *what) {
  fprintf(stderr, "drive_answers: %s\n", what);
  abort();
}

void NoteKeyWait(const sim::Call &call) {
  if (call.fn == "_getch") {
    g_keyWaited = true;
  }
}

void InterceptEnd(int) {}

std::vector<uint8_t> Bytes(FuzzedDataProvider &input, size_t most) {
  return input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, most));
}

// The drive's answer to one command, as the input decides.
bool Answer(FuzzedDataProvider &input, const sim::ScsiCommand &command, sim::ScsiAnswer &answer) {
  if (g_keyWaited) {
    Stop("a drive command after the key wait");
  }
  if (g_verifierRefuses && !command.cdb.empty() && command.cdb[0] == WRITE_BUFFER) {
    Stop("WRITE BUFFER although the verifier refused the package");
  }
  if (command.number > (int)COMMAND_LIMIT) {
    Stop("more drive commands than a run can need");
  }
  if (input.remaining_bytes() == 0) {
    return false; // the model answers the rest of the run
  }
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
  case 4:
    answer.transportFailure = true;
    answer.error = input.ConsumeIntegral<uint16_t>();
    return true;
  case 5:
    answer.vanish = true;
    return true;
  case 6:
    answer.status = 0x02; // CHECK CONDITION
    answer.sense = Bytes(input, 32);
    return true;
  case 7:
    answer.status = input.ConsumeIntegral<uint8_t>();
    answer.sense = Bytes(input, 32);
    answer.dataIn = Bytes(input, command.length + 8);
    return true;
  default:
    return false; // the model's own answer
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  sim::Reset();
  ResetDriveState();
  InstallLinkedResources();
  g_EndProcess = InterceptEnd;
  g_keyWaited = false;
  sim::OnCall(NoteKeyWait);

  g_verifierRefuses = input.ConsumeBool();
  const char *verifier = g_verifierRefuses ? REFUSING_VERIFIER : ACCEPTING_VERIFIER;
  sim::SetResource(104, verifier, strlen(verifier));

  static const char *const REVISIONS[] = {"PR01", "PR02", "PR03", "PR04", "PR05", "PR06"};
  const char *revision = REVISIONS[input.ConsumeIntegralInRange<int>(0, 5)];
  if (input.ConsumeBool()) {
    sim::AddDrive('D', "OTHERCO BD-RW  XR-2000     1.02");
  }
  sim::Drive &drive = sim::AddVx72m('E', revision);
  drive.media = static_cast<sim::Media>(input.ConsumeIntegralInRange<int>(0, 2));
  drive.longWriteMs = input.ConsumeIntegralInRange<uint32_t>(0, 20000);
  drive.resetAfterLongWrite = input.ConsumeBool();
  drive.longWriteNeverEnds = input.ConsumeBool();
  drive.hook = [&input](const sim::ScsiCommand &command, sim::ScsiAnswer &answer) {
    return Answer(input, command, answer);
  };

  wchar_t program[] = L"VX72M_PR05_Updater.exe";
  wchar_t *args[] = {program, nullptr};
  wmain(1, args);

  if (!sim::TempFolderEntries().empty()) {
    Stop("a staged file or folder was left in the temporary folder");
  }
  return 0;
}
