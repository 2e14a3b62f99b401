// Helpers for the verifier tests: packages, signatures and runs of the real
// verifier program, natively or (Windows builds) under Wine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>

using Bytes = std::vector<unsigned char>;

// The result of one run of a program: its exit status as the parent saw it
// and everything it wrote to standard output.
struct RunResult {
  int status = -1;
  std::string out;
};

// The exit status a parent sees for a verifier status: the whole 16-bit value
// on Windows, the low byte on Linux.
int ExpectedExit(uint16_t status);

// Lines as the verifier writes them: "\n" becomes "\r\n" on Windows.
std::string Lines(const std::string &text);

// Path of a build product or test file as the platform's programs take it.
std::string NativePath(const std::string &path);

// Path of a verifier built by the tests with the anchors folder `variant`.
std::string VariantVerifier(const std::string &variant);

// Folder of the test anchors `variant` (ca.crt, dm.crt, maybe dm.key).
std::string TestAnchors(const std::string &variant);

// Runs `exe` with the given arguments (quoted), standard output captured.
// `env_prefix` is put in front of the command (Linux: e.g. "TZ=UTC faketime ...").
RunResult RunProgram(const std::string &exe, const std::vector<std::string> &args,
                     const std::string &env_prefix = "");

// A fresh folder for one test, under the build tree.
std::string FreshDir(const std::string &name);

void WriteFile(const std::string &path, const Bytes &bytes);
Bytes ReadFile(const std::string &path);

Bytes Sha256(const Bytes &data);
Bytes FromHex(const std::string &hex);
std::string ToHex(const Bytes &bytes);

// A package with the given fields: image length L, image, signature length S
// and signature bytes, each written as given (so they may disagree).
Bytes PackageWithFields(uint32_t image_len, const Bytes &image, uint16_t sig_len, const Bytes &sig);
// A well-formed package: L and S are the sizes of image and sig.
Bytes MakePackage(const Bytes &image, const Bytes &sig);

// A P-256 private key loaded from a PEM file, freed on destruction.
class SigningKey {
public:
  explicit SigningKey(const std::string &pem_path);
  ~SigningKey();
  SigningKey(const SigningKey &) = delete;
  SigningKey &operator=(const SigningKey &) = delete;

  // DER signature of a 32-byte digest; `variant` picks another nonce.
  Bytes SignDigest(const Bytes &digest, uint32_t variant = 0) const;
  // DER signature of the SHA-256 digest of `image`.
  Bytes Sign(const Bytes &image, uint32_t variant = 0) const {
    return SignDigest(Sha256(image), variant);
  }
  // The raw pair (r, s) of a signature of `digest`.
  void SignRaw(const Bytes &digest, uint32_t variant, mbedtls_mpi *r, mbedtls_mpi *s) const;
  // The order n of the curve's base point.
  const mbedtls_mpi &Order() const;

private:
  mbedtls_pk_context pk_;
};

// DER SEQUENCE { INTEGER r, INTEGER s } with `extra` (already encoded) after s.
Bytes EncodeSignature(const mbedtls_mpi &r, const mbedtls_mpi &s, const Bytes &extra = {});

// Deterministic pseudo-random bytes for test data.
Bytes PseudoRandomBytes(size_t count, uint32_t seed);

// Whether the shared Wycheproof vectors were found at configure time.
bool WycheproofVerifiersBuilt();
std::string WycheproofTsv();
