// fwpkg: makes, inspects and verifies firmware packages for the VX72M updater.
//
// A package is: image length L (4 bytes, big-endian), the L image bytes,
// signature length S (2 bytes, big-endian), then S bytes of DER ECDSA
// signature over the SHA-256 digest of the image.
//
//   fwpkg make --image IMAGE --key KEY.pem --out PACKAGE [--sig-len N] [--int-lens R,S]
//   fwpkg inspect PACKAGE
//   fwpkg verify PACKAGE --cert CERT.pem
//
// All cryptography and ASN.1 come from mbed TLS.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include <mbedtls/asn1.h>
#include <mbedtls/asn1write.h>
#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/hmac_drbg.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

namespace {

constexpr size_t kHashSize = 32;
constexpr size_t kMaxSigLen = 141; // the verifier's signature buffer
constexpr uint64_t kMaxImageLen = 0xFFFFFFFFu;
constexpr uint32_t kUpdaterImageLen = 0x200000;
constexpr unsigned kUpdaterSigLen = 71;
constexpr uint64_t kUpdaterPackageSize = 4 + kUpdaterImageLen + 2 + kUpdaterSigLen;
constexpr uint32_t kRevisionBlockOffset = 0x1EC000;
constexpr int kMaxSignAttempts = 10000;

__attribute__((format(printf, 1, 2))) void Error(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fputs("fwpkg: error: ", stderr);
  vfprintf(stderr, fmt, args);
  fputc('\n', stderr);
  va_end(args);
}

std::string MbedError(int ret) {
  char text[64];
  snprintf(text, sizeof(text), "mbed TLS error -0x%04x", static_cast<unsigned>(-ret));
  return text;
}

std::string Hex(const unsigned char *bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

// Owns a FILE* and closes it on every path.
struct File {
  FILE *fp = nullptr;
  ~File() {
    if (fp != nullptr) {
      fclose(fp);
    }
  }
};

// Hashes `count` bytes of fp with SHA-256, copying them to out when out is not
// null. Returns false (with a message) on a short read or a write error.
bool HashStream(FILE *fp, uint64_t count, FILE *out, unsigned char *digest, const char *what) {
  mbedtls_sha256_context ctx;
  mbedtls_sha256_init(&ctx);
  mbedtls_sha256_starts_ret(&ctx, 0);
  unsigned char buf[65536];
  uint64_t remaining = count;
  bool ok = true;
  while (remaining > 0) {
    const size_t want = remaining > sizeof(buf) ? sizeof(buf) : static_cast<size_t>(remaining);
    const size_t got = fread(buf, 1, want, fp);
    if (got == 0) {
      Error("%s: ends %" PRIu64 " bytes early", what, remaining);
      ok = false;
      break;
    }
    mbedtls_sha256_update_ret(&ctx, buf, got);
    if (out != nullptr && fwrite(buf, 1, got, out) != got) {
      Error("writing the package: %s", strerror(errno));
      ok = false;
      break;
    }
    remaining -= got;
  }
  mbedtls_sha256_finish_ret(&ctx, digest);
  mbedtls_sha256_free(&ctx);
  return ok;
}

// Signs digest with key, nonces from an HMAC-DRBG seeded with the private
// value, the digest and the attempt number: reproducible, yet a new
// signature per attempt. Writes the DER Ecdsa-Sig-Value to sig/sig_len.
bool SignDigest(mbedtls_ecp_keypair *key, const unsigned char *digest, uint32_t attempt,
                unsigned char *sig, size_t *sig_len) {
  unsigned char seed[MBEDTLS_ECP_MAX_BYTES + kHashSize + 4];
  const size_t key_len = mbedtls_mpi_size(&key->d);
  int ret = mbedtls_mpi_write_binary(&key->d, seed, key_len);
  memcpy(seed + key_len, digest, kHashSize);
  for (int i = 0; i < 4; ++i) {
    seed[key_len + kHashSize + i] = static_cast<unsigned char>(attempt >> (24 - 8 * i));
  }
  mbedtls_hmac_drbg_context drbg;
  mbedtls_hmac_drbg_init(&drbg);
  mbedtls_mpi r, s;
  mbedtls_mpi_init(&r);
  mbedtls_mpi_init(&s);
  if (ret == 0) {
    ret = mbedtls_hmac_drbg_seed_buf(&drbg, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), seed,
                                     key_len + kHashSize + 4);
  }
  if (ret == 0) {
    ret = mbedtls_ecdsa_sign(&key->grp, &r, &s, &key->d, digest, kHashSize,
                             mbedtls_hmac_drbg_random, &drbg);
  }
  // The library's ASN.1 writer works backwards from the end of the buffer.
  unsigned char der[kMaxSigLen];
  unsigned char *p = der + sizeof(der);
  int len = 0;
  if (ret == 0) {
    int part = mbedtls_asn1_write_mpi(&p, der, &s);
    if (part >= 0) {
      len += part;
      part = mbedtls_asn1_write_mpi(&p, der, &r);
    }
    if (part >= 0) {
      len += part;
      part = mbedtls_asn1_write_len(&p, der, static_cast<size_t>(len));
    }
    if (part >= 0) {
      len += part;
      part = mbedtls_asn1_write_tag(&p, der, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
    }
    if (part >= 0) {
      len += part;
      memcpy(sig, p, static_cast<size_t>(len));
      *sig_len = static_cast<size_t>(len);
    } else {
      ret = part;
    }
  }
  mbedtls_mpi_free(&r);
  mbedtls_mpi_free(&s);
  mbedtls_hmac_drbg_free(&drbg);
  mbedtls_platform_zeroize(seed, sizeof(seed));
  if (ret != 0) {
    Error("signing failed: %s", MbedError(ret).c_str());
    return false;
  }
  return true;
}

bool ParseCount(const char *text, unsigned long max, unsigned long *value) {
  char *end = nullptr;
  errno = 0;
  const unsigned long parsed = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

int Usage() {
  fputs("usage:\n"
        "  fwpkg make --image IMAGE --key KEY.pem --out PACKAGE [--sig-len N] [--int-lens R,S]\n"
        "      sign IMAGE with the P-256 private key KEY.pem into PACKAGE;\n"
        "      --sig-len N signs again until the DER signature is N bytes long\n"
        "      (71 for the VX72M updater: a 2 MiB image then makes 2,097,229 bytes);\n"
        "      --int-lens R,S also until the INTEGERs r and s have R and S content bytes\n"
        "      (32,33 gives 30 45 02 20 <r> 02 21 00 <s>)\n"
        "  fwpkg inspect PACKAGE\n"
        "      show the fields, sizes and image digest, and whether the updater takes it\n"
        "  fwpkg verify PACKAGE --cert CERT.pem\n"
        "      check the signature with the certificate's key, as the verifier does\n",
        stderr);
  return 2;
}

int Make(int argc, char **argv) {
  const char *image_path = nullptr;
  const char *key_path = nullptr;
  const char *out_path = nullptr;
  unsigned long wanted_sig_len = 0;
  unsigned long wanted_r_len = 0;
  unsigned long wanted_s_len = 0;
  for (int i = 0; i < argc; i += 2) {
    if (i + 1 >= argc) {
      Error("%s needs a value", argv[i]);
      return Usage();
    }
    if (strcmp(argv[i], "--image") == 0) {
      image_path = argv[i + 1];
    } else if (strcmp(argv[i], "--key") == 0) {
      key_path = argv[i + 1];
    } else if (strcmp(argv[i], "--out") == 0) {
      out_path = argv[i + 1];
    } else if (strcmp(argv[i], "--sig-len") == 0) {
      if (!ParseCount(argv[i + 1], kMaxSigLen, &wanted_sig_len) || wanted_sig_len == 0) {
        Error("--sig-len must be 1 to %zu, not '%s'", kMaxSigLen, argv[i + 1]);
        return 2;
      }
    } else if (strcmp(argv[i], "--int-lens") == 0) {
      std::string lens = argv[i + 1];
      const size_t comma = lens.find(',');
      if (comma == std::string::npos ||
          !ParseCount(lens.substr(0, comma).c_str(), 33, &wanted_r_len) ||
          !ParseCount(lens.substr(comma + 1).c_str(), 33, &wanted_s_len) || wanted_r_len == 0 ||
          wanted_s_len == 0) {
        Error("--int-lens takes R,S, each 1 to 33, not '%s'", argv[i + 1]);
        return 2;
      }
    } else {
      Error("unknown option '%s'", argv[i]);
      return Usage();
    }
  }
  if (wanted_r_len != 0) {
    const unsigned long implied = 6 + wanted_r_len + wanted_s_len;
    if (wanted_sig_len != 0 && wanted_sig_len != implied) {
      Error("--int-lens %lu,%lu makes a %lu-byte signature, not %lu", wanted_r_len, wanted_s_len,
            implied, wanted_sig_len);
      return 2;
    }
    wanted_sig_len = implied;
  }
  if (image_path == nullptr || key_path == nullptr || out_path == nullptr) {
    Error("make needs --image, --key and --out");
    return Usage();
  }

  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  struct PkGuard {
    mbedtls_pk_context *pk;
    ~PkGuard() { mbedtls_pk_free(pk); }
  } pk_guard{&pk};
  int ret = mbedtls_pk_parse_keyfile(&pk, key_path, nullptr);
  if (ret != 0) {
    Error("%s: not a readable unencrypted private key (%s)", key_path, MbedError(ret).c_str());
    return 1;
  }
  mbedtls_ecp_keypair *key = mbedtls_pk_ec(pk);
  if (key == nullptr || key->grp.id != MBEDTLS_ECP_DP_SECP256R1) {
    Error("%s: not a P-256 (prime256v1) EC private key", key_path);
    return 1;
  }
  // r and s have at most 33 bytes each with P-256: 3 + 2 * (2 + 33).
  if (wanted_sig_len > 72) {
    Error("a P-256 DER signature is never %lu bytes long (at most 72)", wanted_sig_len);
    return 1;
  }

  File image;
  image.fp = fopen(image_path, "rb");
  if (image.fp == nullptr) {
    Error("%s: %s", image_path, strerror(errno));
    return 1;
  }
  if (fseeko(image.fp, 0, SEEK_END) != 0) {
    Error("%s: not a regular file", image_path);
    return 1;
  }
  const off_t image_size = ftello(image.fp);
  rewind(image.fp);
  if (image_size <= 0) {
    Error("%s: the image is empty (the image length must be at least 1)", image_path);
    return 1;
  }
  if (static_cast<uint64_t>(image_size) > kMaxImageLen) {
    Error("%s: %lld bytes do not fit the 4-byte image length", image_path,
          static_cast<long long>(image_size));
    return 1;
  }
  const uint32_t image_len = static_cast<uint32_t>(image_size);

  unsigned char digest[kHashSize];
  if (!HashStream(image.fp, image_len, nullptr, digest, image_path)) {
    return 1;
  }

  unsigned char sig[kMaxSigLen];
  size_t sig_len = 0;
  int attempt = 0;
  for (;; ++attempt) {
    if (attempt == kMaxSignAttempts) {
      Error("no signature of %lu bytes in %d attempts", wanted_sig_len, kMaxSignAttempts);
      return 1;
    }
    if (!SignDigest(key, digest, static_cast<uint32_t>(attempt), sig, &sig_len)) {
      return 1;
    }
    // Short-form lengths throughout: 30 L 02 Lr r 02 Ls s.
    const bool lens_fit =
        wanted_r_len == 0 || (sig[3] == wanted_r_len && sig[5 + wanted_r_len] == wanted_s_len);
    if ((wanted_sig_len == 0 || sig_len == wanted_sig_len) && lens_fit) {
      break;
    }
  }
  ret = mbedtls_ecdsa_read_signature(key, digest, kHashSize, sig, sig_len);
  if (ret != 0) {
    Error("the new signature does not verify (%s)", MbedError(ret).c_str());
    return 1;
  }

  // Written beside the target and renamed into place only when complete.
  const std::string tmp_path = std::string(out_path) + ".tmp" + std::to_string(getpid());
  File out;
  out.fp = fopen(tmp_path.c_str(), "wb");
  if (out.fp == nullptr) {
    Error("%s: %s", tmp_path.c_str(), strerror(errno));
    return 1;
  }
  const unsigned char header[4] = {
      static_cast<unsigned char>(image_len >> 24), static_cast<unsigned char>(image_len >> 16),
      static_cast<unsigned char>(image_len >> 8), static_cast<unsigned char>(image_len)};
  const unsigned char trailer[2] = {static_cast<unsigned char>(sig_len >> 8),
                                    static_cast<unsigned char>(sig_len)};
  unsigned char copied_digest[kHashSize];
  rewind(image.fp);
  bool ok = fwrite(header, 1, 4, out.fp) == 4 &&
            HashStream(image.fp, image_len, out.fp, copied_digest, image_path);
  if (ok && memcmp(digest, copied_digest, kHashSize) != 0) {
    Error("%s changed while the package was made", image_path);
    ok = false;
  }
  ok = ok && fwrite(trailer, 1, 2, out.fp) == 2 && fwrite(sig, 1, sig_len, out.fp) == sig_len;
  const bool closed = fclose(out.fp) == 0;
  out.fp = nullptr;
  if (!ok || !closed || rename(tmp_path.c_str(), out_path) != 0) {
    if (ok) {
      Error("%s: %s", out_path, strerror(errno));
    }
    remove(tmp_path.c_str());
    return 1;
  }
  printf("%s: image %" PRIu32 " bytes, signature %zu bytes (attempt %d), package %" PRIu64
         " bytes\n",
         out_path, image_len, sig_len, attempt + 1,
         4 + static_cast<uint64_t>(image_len) + 2 + sig_len);
  return 0;
}

// The fields of a package file, as read by ReadPackage.
struct Package {
  uint64_t file_size = 0;
  uint32_t image_len = 0;
  unsigned char digest[kHashSize] = {};
  unsigned sig_len = 0;
  unsigned char sig[kMaxSigLen] = {};
  unsigned char revision_block[28] = {};
  bool has_revision_block = false;
};

// Reads and hashes a package; returns false with a message for any fault of
// its structure (the verifier would refuse it before the signature check).
bool ReadPackage(const char *path, Package *pkg) {
  File in;
  in.fp = fopen(path, "rb");
  if (in.fp == nullptr) {
    Error("%s: %s", path, strerror(errno));
    return false;
  }
  if (fseeko(in.fp, 0, SEEK_END) != 0) {
    Error("%s: not a regular file", path);
    return false;
  }
  pkg->file_size = static_cast<uint64_t>(ftello(in.fp));
  rewind(in.fp);
  unsigned char field[4];
  if (fread(field, 1, 4, in.fp) != 4) {
    Error("%s: %" PRIu64 " bytes, shorter than the 4-byte image length", path, pkg->file_size);
    return false;
  }
  pkg->image_len = (static_cast<uint32_t>(field[0]) << 24) |
                   (static_cast<uint32_t>(field[1]) << 16) |
                   (static_cast<uint32_t>(field[2]) << 8) | field[3];
  if (pkg->image_len == 0) {
    Error("%s: image length is 0", path);
    return false;
  }
  if (pkg->image_len > pkg->file_size - 4) {
    Error("%s: image length %" PRIu32 " but only %" PRIu64 " bytes follow", path, pkg->image_len,
          pkg->file_size - 4);
    return false;
  }
  if (pkg->image_len >= kRevisionBlockOffset + sizeof(pkg->revision_block)) {
    if (fseeko(in.fp, 4 + kRevisionBlockOffset, SEEK_SET) != 0 ||
        fread(pkg->revision_block, 1, sizeof(pkg->revision_block), in.fp) !=
            sizeof(pkg->revision_block)) {
      Error("%s: read error", path);
      return false;
    }
    pkg->has_revision_block = true;
    fseeko(in.fp, 4, SEEK_SET);
  }
  if (!HashStream(in.fp, pkg->image_len, nullptr, pkg->digest, path)) {
    return false;
  }
  if (fread(field, 1, 2, in.fp) != 2) {
    Error("%s: ends inside the signature length (image length %" PRIu32 ")", path, pkg->image_len);
    return false;
  }
  pkg->sig_len = (static_cast<unsigned>(field[0]) << 8) | field[1];
  if (pkg->sig_len == 0 || pkg->sig_len > kMaxSigLen) {
    Error("%s: signature length %u is outside 1 to %zu", path, pkg->sig_len, kMaxSigLen);
    return false;
  }
  const size_t got = fread(pkg->sig, 1, pkg->sig_len, in.fp);
  if (got != pkg->sig_len) {
    Error("%s: ends %zu bytes inside the %u-byte signature", path, pkg->sig_len - got,
          pkg->sig_len);
    return false;
  }
  return true;
}

// Describes how sig[0..len) departs from one DER Ecdsa-Sig-Value filling it
// exactly; empty when it does not.
std::string DerProblem(const unsigned char *sig, size_t len) {
  unsigned char *p = const_cast<unsigned char *>(sig);
  const unsigned char *end = sig + len;
  size_t seq_len = 0;
  if (mbedtls_asn1_get_tag(&p, end, &seq_len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
      0) {
    return "not a SEQUENCE within the field";
  }
  if (p + seq_len != end) {
    return "the SEQUENCE does not end where the field ends";
  }
  mbedtls_mpi r, s;
  mbedtls_mpi_init(&r);
  mbedtls_mpi_init(&s);
  std::string problem;
  if (mbedtls_asn1_get_mpi(&p, end, &r) != 0 || mbedtls_asn1_get_mpi(&p, end, &s) != 0) {
    problem = "r or s missing or not an INTEGER";
  } else if (p != end) {
    problem = "bytes after s inside the SEQUENCE";
  }
  mbedtls_mpi_free(&r);
  mbedtls_mpi_free(&s);
  return problem;
}

void PrintText(const char *label, const unsigned char *bytes, size_t count) {
  printf("%-24s\"", label);
  for (size_t i = 0; i < count; ++i) {
    putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
  }
  printf("\"\n");
}

int Inspect(int argc, char **argv) {
  if (argc != 1) {
    return Usage();
  }
  Package pkg;
  if (!ReadPackage(argv[0], &pkg)) {
    return 1;
  }
  const uint64_t end = 4 + static_cast<uint64_t>(pkg.image_len) + 2 + pkg.sig_len;
  printf("%-24s%s\n", "package:", argv[0]);
  printf("%-24s%" PRIu64 " bytes\n", "file size:", pkg.file_size);
  printf("%-24s%" PRIu32 " (0x%" PRIX32 ")\n", "image length:", pkg.image_len, pkg.image_len);
  printf("%-24s%s\n", "image SHA-256:", Hex(pkg.digest, kHashSize).c_str());
  printf("%-24s%u, at offset %" PRIu64 "\n", "signature length:", pkg.sig_len,
         4 + static_cast<uint64_t>(pkg.image_len));
  printf("%-24s%s\n", "signature:", Hex(pkg.sig, pkg.sig_len).c_str());
  const std::string problem = DerProblem(pkg.sig, pkg.sig_len);
  printf("%-24s%s\n",
         "signature encoding:", problem.empty() ? "one Ecdsa-Sig-Value" : problem.c_str());
  printf("%-24s%" PRIu64 "\n", "bytes after signature:", pkg.file_size - end);
  if (pkg.has_revision_block) {
    PrintText("revision vendor:", pkg.revision_block, 8);
    PrintText("revision product:", pkg.revision_block + 8, 16);
    PrintText("revision:", pkg.revision_block + 24, 4);
  }
  std::string misfit;
  if (pkg.file_size != kUpdaterPackageSize) {
    misfit += " size is not 2097229;";
  }
  if (pkg.image_len != kUpdaterImageLen) {
    misfit += " image length is not 2097152;";
  }
  if (pkg.sig_len != kUpdaterSigLen) {
    misfit += " signature length is not 71;";
  }
  printf("%-24s%s%s\n", "fits this updater:", misfit.empty() ? "yes" : "no:", misfit.c_str());
  return 0;
}

int Verify(int argc, char **argv) {
  if (argc != 3 || strcmp(argv[1], "--cert") != 0) {
    return Usage();
  }
  mbedtls_x509_crt crt;
  mbedtls_x509_crt_init(&crt);
  struct CrtGuard {
    mbedtls_x509_crt *crt;
    ~CrtGuard() { mbedtls_x509_crt_free(crt); }
  } crt_guard{&crt};
  const int ret = mbedtls_x509_crt_parse_file(&crt, argv[2]);
  if (ret != 0) {
    Error("%s: not a readable certificate (%s)", argv[2], MbedError(ret).c_str());
    return 1;
  }
  mbedtls_ecp_keypair *key = mbedtls_pk_ec(crt.pk);
  if (key == nullptr) {
    Error("%s: the certificate holds no EC key", argv[2]);
    return 1;
  }
  Package pkg;
  if (!ReadPackage(argv[0], &pkg)) {
    return 1;
  }
  const int result = mbedtls_ecdsa_read_signature(key, pkg.digest, kHashSize, pkg.sig, pkg.sig_len);
  if (result != 0) {
    printf("%s: signature INVALID (%s)\n", argv[0], MbedError(result).c_str());
    return 1;
  }
  printf("%s: signature valid\n", argv[0]);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    return Usage();
  }
  if (strcmp(argv[1], "make") == 0) {
    return Make(argc - 2, argv + 2);
  }
  if (strcmp(argv[1], "inspect") == 0) {
    return Inspect(argc - 2, argv + 2);
  }
  if (strcmp(argv[1], "verify") == 0) {
    return Verify(argc - 2, argv + 2);
  }
  Error("unknown command '%s'", argv[1]);
  return Usage();
}
