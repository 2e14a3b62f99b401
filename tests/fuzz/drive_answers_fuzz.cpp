// Fuzz target: a whole updater run on the simulated machine while the drive
// answers, command by command, what the input says: the model's own answer,
// a transport failure, the drive vanishing, CHECK CONDITION with any sense
// bytes, or any status with any data-in bytes (INQUIRY data, revision blocks).
//
// Stops, besides the sanitizers' findings, when the updater
//   - sends a drive command after it has waited for the closing key press, or
//     after the revision read failed (the run ends there without a word),
//   - sends WRITE BUFFER although the verifier refused the package, or the
//     revision block it read last did not hold PR01 to PR04,
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
constexpr uint8_t READ_BUFFER = 0x3C;
constexpr uint8_t MODE_PIECE = 6;

// Stand-ins for the verifier: the updater runs whichever it is given, and only
// the verdict matters here (the verifier has its own target).
const char ACCEPTING_VERIFIER[] = "#!/bin/sh\nexit 0\n";
const char REFUSING_VERIFIER[] = "#!/bin/sh\nexit 8\n";

bool g_keyWaited = false;
bool g_verifierRefuses = false;
// Whether the 128 pieces of the image take answers from the input too; when
// not, the input reaches the commit and the poll after a handful of commands.
bool g_fuzzPieces = false;
const char *g_installedRevision = "";
// The revision tag of the last revision block the updater was given.
char g_readRevision[5];
bool g_revisionReadFailed = false;

bool IsReplaceable(const char *tag) {
  return strcmp(tag, "PR01") == 0 || strcmp(tag, "PR02") == 0 || strcmp(tag, "PR03") == 0 ||
         strcmp(tag, "PR04") == 0;
}

// Notes the revision tag a READ BUFFER answer carries: bytes 24 to 27 of the
// data for GOOD status, nothing otherwise.
void NoteRevision(const sim::ScsiCommand &command, const sim::ScsiAnswer *answer) {
  if (command.cdb.empty() || command.cdb[0] != READ_BUFFER) {
    return;
  }
  memset(g_readRevision, 0, sizeof(g_readRevision));
  if (answer == nullptr) {
    memcpy(g_readRevision, g_installedRevision, 4); // the model: the installed firmware
  } else if (!answer->transportFailure && !answer->vanish && answer->status == 0) {
    for (size_t i = 0; i < 4 && 24 + i < answer->dataIn.size(); i++) {
      g_readRevision[i] = (char)answer->dataIn[24 + i];
    }
  } else {
    g_revisionReadFailed = true;
  }
}

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
  if (g_revisionReadFailed) {
    Stop("a drive command after the revision read failed");
  }
  if (!command.cdb.empty() && command.cdb[0] == WRITE_BUFFER) {
    if (g_verifierRefuses) {
      Stop("WRITE BUFFER although the verifier refused the package");
    }
    if (!IsReplaceable(g_readRevision)) {
      Stop("WRITE BUFFER to a drive whose revision block holds no replaceable revision");
    }
  }
  if (command.number > (int)COMMAND_LIMIT) {
    Stop("more drive commands than a run can need");
  }
  const bool piece = command.cdb.size() > 1 && command.cdb[0] == WRITE_BUFFER &&
                     (command.cdb[1] & 0x1F) == MODE_PIECE;
  // With the input used up, the model answers the rest of the run.
  const int choice = input.remaining_bytes() == 0 || (piece && !g_fuzzPieces)
                         ? 0
                         : input.ConsumeIntegralInRange<int>(0, 7);
  switch (choice) {
  case 4:
    answer.transportFailure = true;
    answer.error = input.ConsumeIntegral<uint16_t>();
    break;
  case 5:
    answer.vanish = true;
    break;
  case 6:
    answer.status = 0x02; // CHECK CONDITION
    answer.sense = Bytes(input, 32);
    break;
  case 7:
    answer.status = input.ConsumeIntegral<uint8_t>();
    answer.sense = Bytes(input, 32);
    answer.dataIn = Bytes(input, command.length + 8);
    break;
  default:
    NoteRevision(command, nullptr);
    return false; // the model's own answer
  }
  NoteRevision(command, &answer);
  return true;
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
  g_fuzzPieces = input.ConsumeBool();
  const char *verifier = g_verifierRefuses ? REFUSING_VERIFIER : ACCEPTING_VERIFIER;
  sim::SetResource(104, verifier, strlen(verifier));

  static const char *const REVISIONS[] = {"PR01", "PR02", "PR03", "PR04", "PR05", "PR06"};
  const char *revision = REVISIONS[input.ConsumeIntegralInRange<int>(0, 5)];
  g_installedRevision = revision;
  memset(g_readRevision, 0, sizeof(g_readRevision));
  g_revisionReadFailed = false;
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
