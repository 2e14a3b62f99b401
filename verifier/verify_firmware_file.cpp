#include "verifier.h"
#include "trust_texts.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/ecdsa.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

namespace {

constexpr size_t buf_size = 4096;
constexpr size_t hash_size = 32;
constexpr size_t sig_size = 141;

// Puts fw_path (may be null) and fw_name together in fw_path_name. Returns
// false, leaving fw_path_name untouched, when the result does not fit.
bool BuildPathName(char *fw_path_name, size_t capacity, const char *fw_path, const char *fw_name) {
  const size_t path_len = fw_path != nullptr ? strlen(fw_path) : 0;
  const size_t name_len = strlen(fw_name);
  if (path_len >= capacity || name_len >= capacity - path_len) {
    return false;
  }
  memcpy(fw_path_name, fw_path != nullptr ? fw_path : "", path_len);
  memcpy(fw_path_name + path_len, fw_name, name_len + 1);
  return true;
}

// Reads the open package fp and checks its signature with ecdsa. Returns the
// status; hashes into sha256_ctx and hash, uses buf and sig as scratch.
uint16_t CheckPackage(FILE *fp, const char *fw_name, mbedtls_ecdsa_context *ecdsa,
                      mbedtls_sha256_context *sha256_ctx, unsigned char *buf, unsigned char *hash,
                      unsigned char *sig) {
  if (fread(buf, 1, 4, fp) < 4) {
    printf("##%s read size error.\n", fw_name);
    return status_image_size;
  }
  const uint32_t image_len = (static_cast<uint32_t>(buf[0]) << 24) |
                             (static_cast<uint32_t>(buf[1]) << 16) |
                             (static_cast<uint32_t>(buf[2]) << 8) | static_cast<uint32_t>(buf[3]);
  if (image_len == 0) {
    printf("##%s size info is zero.\n", fw_name);
    return status_image_size;
  }

  mbedtls_sha256_starts_ret(sha256_ctx, 0);
  uint32_t remaining = image_len;
  while (remaining > 0) {
    memset(buf, 0, buf_size);
    const size_t want = remaining > buf_size ? buf_size : remaining;
    const size_t got = fread(buf, 1, want, fp);
    if (got == 0) {
      break;
    }
    mbedtls_sha256_update_ret(sha256_ctx, buf, got);
    remaining -= static_cast<uint32_t>(got);
  }
  mbedtls_sha256_finish_ret(sha256_ctx, hash);
  if (remaining > 0) {
    printf("##%s size is invalid.\n", fw_name);
    return status_image_size;
  }

  if (fread(sig, 1, 2, fp) < 2) {
    printf("##Sig read size error.\n");
    return status_sig_size;
  }
  const uint16_t sig_len = static_cast<uint16_t>((sig[0] << 8) | sig[1]);
  if (sig_len == 0 || sig_len > sig_size) {
    printf("##Sig size info is invalid[%d].\n", static_cast<int>(sig_len));
    return status_sig_size;
  }
  // Bytes missing at the end of the file stay zero: the check below decides.
  memset(sig, 0, sig_size);
  (void)fread(sig, 1, sig_len, fp);

  // A signing certificate without an EC key has no key to check with.
  if (ecdsa == nullptr) {
    return status_sig_failed;
  }
  // Anything but exactly 0 (a valid signature followed by more bytes inside
  // the sequence gives a distinct non-zero code) is a refusal.
  if (mbedtls_ecdsa_read_signature(ecdsa, hash, hash_size, sig, sig_len) != 0) {
    return status_sig_failed;
  }
  return status_verified;
}

} // namespace

uint16_t VerifyFirmwareFile(const char *fw_path, const char *fw_name) {
  unsigned char sig[sig_size];
  unsigned char buf[buf_size];
  unsigned char hash[hash_size];
  char fw_path_name[fw_path_name_size];
  mbedtls_sha256_context sha256_ctx;
  mbedtls_x509_crt dm_crt;
  FILE *fp = nullptr;
  uint16_t status = status_verified;

  memset(sig, 0, sizeof(sig));
  memset(buf, 0, sizeof(buf));
  memset(hash, 0, sizeof(hash));
  memset(fw_path_name, 0, sizeof(fw_path_name));
  mbedtls_x509_crt_init(&dm_crt);
  mbedtls_sha256_init(&sha256_ctx);

  if (fw_name == nullptr) {
    printf("### fw_name is NULL value.\n");
    status = status_no_fw_name;
  } else if (VerifyCertificateChain() != 0) {
    printf("### verification of the certificate(s) failed.\n");
    status = status_chain_failed;
  } else if (mbedtls_x509_crt_parse(&dm_crt, reinterpret_cast<const unsigned char *>(dm_crt_pem),
                                    dm_crt_pem_len) != 0) {
    printf(" -> mbedtls_x509_crt_parse failed.\n");
    status = status_crt_parse_failed;
  } else {
    // Null when the certificate's key is not an EC key.
    mbedtls_ecdsa_context *ecdsa = mbedtls_pk_ec(dm_crt.pk);
    if (!BuildPathName(fw_path_name, sizeof(fw_path_name), fw_path, fw_name)) {
      // Too long for the buffer: refused like a path that does not open.
      printf("%s%s open error\n", fw_path != nullptr ? fw_path : "", fw_name);
      printf("%s open error\n", fw_name);
      status = status_open_failed;
    } else if ((fp = fopen(fw_path_name, "rb")) == nullptr) {
      printf("%s open error\n", fw_path_name);
      printf("%s open error\n", fw_name);
      status = status_open_failed;
    } else {
      status = CheckPackage(fp, fw_name, ecdsa, &sha256_ctx, buf, hash, sig);
    }
  }

  mbedtls_x509_crt_free(&dm_crt);
  mbedtls_sha256_free(&sha256_ctx);
  if (fp != nullptr) {
    fclose(fp);
  }
  // The updater's console shows these lines among its own.
  fflush(stdout);
  return status;
}
