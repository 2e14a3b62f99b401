// The updater's entry: one fixed run, once.
#include "updater/drive/discovery.h"
#include "updater/drive/mcn.h"
#include "updater/update.h"

int wmain(int argc, wchar_t *argv[]) {
  (void)argc; // the updater takes no arguments
  (void)argv;
  FindTargetDrive(); // ends the process itself when no drive needs the update
  if (g_TargetDrive < 0) {
    return 0; // only where the process end was intercepted (tests)
  }
  ControlMcn((BYTE)g_TargetDrive, 1);
  UpdateFirmware();
  ControlMcn((BYTE)g_TargetDrive, 0);
  return 0;
}
