// The verifier program: one argument, the package file's path; the verdict is
// the exit status (0: verified).
#include "verifier.h"

int main(int argc, char **argv) {
  // argc is checked only so that a process started with an empty argument
  // vector reads no further than argv[0].
  const char *fw_name = argc > 1 ? argv[1] : nullptr;
  return VerifyFirmwareFile("", fw_name);
}
