// Fuzz target: the verifier reading a package file of any bytes, with the
// development trust anchors built in. Besides the sanitizers' findings it
// stops on a status outside the verifier's list and on a "verified" verdict
// for bytes that are not a whole package.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "verifier.h"

namespace {

char g_packagePath[64];

bool IsKnownStatus(uint16_t status) {
  switch (status) {
  case status_verified:
  case status_no_fw_name:
  case status_chain_failed:
  case status_crt_parse_failed:
  case status_open_failed:
  case status_image_size:
  case status_sig_size:
  case status_sig_failed:
    return true;
  default:
    return false;
  }
}

// A package the verifier may accept: image length, image, signature length
// (1 to 141) all present.
bool IsWholePackage(const uint8_t *data, size_t size) {
  if (size < 4) {
    return false;
  }
  const uint64_t image_len =
      ((uint64_t)data[0] << 24) | ((uint64_t)data[1] << 16) | ((uint64_t)data[2] << 8) | data[3];
  if (image_len == 0 || size < 4 + image_len + 2) {
    return false;
  }
  const unsigned sig_len = (data[4 + image_len] << 8) | data[4 + image_len + 1];
  return sig_len >= 1 && sig_len <= 141;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  snprintf(g_packagePath, sizeof(g_packagePath), "%s/fuzz-package-%d.bin", folder, (int)getpid());
  // The verifier's diagnostics would drown libFuzzer's own lines.
  if (freopen("/dev/null", "w", stdout) == nullptr) {
    abort();
  }
  atexit([] { unlink(g_packagePath); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fopen(g_packagePath, "wb");
  if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size) || fclose(file) != 0) {
    abort();
  }
  const uint16_t status = VerifyFirmwareFile("", g_packagePath);
  if (!IsKnownStatus(status)) {
    fprintf(stderr, "unknown status 0x%04x\n", status);
    abort();
  }
  if (status == status_verified && !IsWholePackage(data, size)) {
    fprintf(stderr, "verified bytes that are not a whole package\n");
    abort();
  }
  return 0;
}
