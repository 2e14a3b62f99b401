#include "verifier_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <mbedtls/asn1write.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/hmac_drbg.h>
#include <mbedtls/sha256.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

std::string Quote(const std::string &text) {
  if (kWindows) {
    return "\"" + text + "\"";
  }
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

void Check(int ret, const char *what) {
  if (ret != 0) {
    char text[128];
    snprintf(text, sizeof(text), "%s failed: -0x%04x", what, static_cast<unsigned>(-ret));
    throw std::runtime_error(text);
  }
}

} // namespace

int ExpectedExit(uint16_t status) {
  return kWindows ? status : (status & 0xFF);
}

std::string Lines(const std::string &text) {
  if (!kWindows) {
    return text;
  }
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

std::string NativePath(const std::string &path) {
  if (!kWindows || path.empty() || path[0] != '/') {
    return path;
  }
  // Wine maps the Linux root to drive Z:.
  std::string out = "Z:";
  for (char c : path) {
    out += c == '/' ? '\\' : c;
  }
  return out;
}

std::string VariantVerifier(const std::string &variant) {
  return NativePath(std::string(TEST_VERIFIER_DIR) + "/signvfy_" + variant + EXE_SUFFIX);
}

std::string TestAnchors(const std::string &variant) {
  return NativePath(std::string(TEST_ANCHORS_DIR) + "/" + variant);
}

namespace {

#ifdef _WIN32
// Started directly, not through cmd, whose own start of the program can fail
// the same way and then reads as "not a command".
int RunWithOutputTo(const std::string &command, const std::string &out_path) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot create " + out_path);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  // Wine now and then loses a child while it starts; the same start works a
  // moment later.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 3 && !started; attempt++) {
    started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process);
    if (!started) {
      fprintf(stderr, "CreateProcessA failed with error %lu\n", GetLastError());
      Sleep(100);
    }
  }
  CloseHandle(out);
  if (!started) {
    throw std::runtime_error("cannot start " + command);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
#else
int RunWithOutputTo(const std::string &command, const std::string &out_path) {
  const int raw = std::system((command + " > " + Quote(out_path)).c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + raw;
}
#endif

} // namespace

RunResult RunProgram(const std::string &exe, const std::vector<std::string> &args,
                     const std::string &env_prefix) {
  static int counter = 0;
  const std::string out_path = FreshDir("run") + "/stdout" + std::to_string(++counter);
  std::string command = env_prefix + Quote(exe);
  for (const std::string &arg : args) {
    command += " " + Quote(arg);
  }
  fflush(stdout);
  RunResult result;
  result.status = RunWithOutputTo(command, out_path);
  const Bytes out = ReadFile(out_path);
  result.out.assign(out.begin(), out.end());
  return result;
}

std::string FreshDir(const std::string &name) {
  static int counter = 0;
  const std::string dir =
      NativePath(std::string(TEST_WORK_DIR)) + "/" + name + "-" + std::to_string(++counter);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

void WriteFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Sha256(const Bytes &data) {
  Bytes digest(32);
  Check(mbedtls_sha256_ret(data.data(), data.size(), digest.data(), 0), "sha256");
  return digest;
}

Bytes FromHex(const std::string &hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const Bytes &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

Bytes PackageWithFields(uint32_t image_len, const Bytes &image, uint16_t sig_len,
                        const Bytes &sig) {
  Bytes pkg(4 + image.size() + 2 + sig.size());
  for (int i = 0; i < 4; ++i) {
    pkg[static_cast<size_t>(i)] = static_cast<unsigned char>(image_len >> (24 - 8 * i));
  }
  std::copy(image.begin(), image.end(), pkg.begin() + 4);
  pkg[4 + image.size()] = static_cast<unsigned char>(sig_len >> 8);
  pkg[5 + image.size()] = static_cast<unsigned char>(sig_len);
  std::copy(sig.begin(), sig.end(), pkg.begin() + 6 + static_cast<std::ptrdiff_t>(image.size()));
  return pkg;
}

Bytes MakePackage(const Bytes &image, const Bytes &sig) {
  return PackageWithFields(static_cast<uint32_t>(image.size()), image,
                           static_cast<uint16_t>(sig.size()), sig);
}

SigningKey::SigningKey(const std::string &pem_path) {
  mbedtls_pk_init(&pk_);
  Check(mbedtls_pk_parse_keyfile(&pk_, pem_path.c_str(), nullptr), "parse key");
  if (mbedtls_pk_ec(pk_) == nullptr) {
    throw std::runtime_error(pem_path + " is no EC key");
  }
}

SigningKey::~SigningKey() {
  mbedtls_pk_free(&pk_);
}

const mbedtls_mpi &SigningKey::Order() const {
  return mbedtls_pk_ec(pk_)->grp.N;
}

void SigningKey::SignRaw(const Bytes &digest, uint32_t variant, mbedtls_mpi *r,
                         mbedtls_mpi *s) const {
  mbedtls_ecp_keypair *key = mbedtls_pk_ec(pk_);
  // Nonces from a DRBG seeded with the key, the digest and the variant.
  Bytes seed(32);
  Check(mbedtls_mpi_write_binary(&key->d, seed.data(), seed.size()), "key bytes");
  seed.insert(seed.end(), digest.begin(), digest.end());
  for (int i = 0; i < 4; ++i) {
    seed.push_back(static_cast<unsigned char>(variant >> (8 * i)));
  }
  mbedtls_hmac_drbg_context drbg;
  mbedtls_hmac_drbg_init(&drbg);
  int ret = mbedtls_hmac_drbg_seed_buf(&drbg, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
                                       seed.data(), seed.size());
  if (ret == 0) {
    ret = mbedtls_ecdsa_sign(&key->grp, r, s, &key->d, digest.data(), digest.size(),
                             mbedtls_hmac_drbg_random, &drbg);
  }
  mbedtls_hmac_drbg_free(&drbg);
  Check(ret, "sign");
}

Bytes SigningKey::SignDigest(const Bytes &digest, uint32_t variant) const {
  mbedtls_mpi r, s;
  mbedtls_mpi_init(&r);
  mbedtls_mpi_init(&s);
  SignRaw(digest, variant, &r, &s);
  Bytes der = EncodeSignature(r, s);
  mbedtls_mpi_free(&r);
  mbedtls_mpi_free(&s);
  return der;
}

Bytes EncodeSignature(const mbedtls_mpi &r, const mbedtls_mpi &s, const Bytes &extra) {
  unsigned char buf[300];
  unsigned char *p = buf + sizeof(buf);
  size_t len = 0;
  p -= extra.size();
  if (!extra.empty()) {
    memcpy(p, extra.data(), extra.size());
  }
  len += extra.size();
  int part = mbedtls_asn1_write_mpi(&p, buf, &s);
  Check(part < 0 ? part : 0, "write s");
  len += static_cast<size_t>(part);
  part = mbedtls_asn1_write_mpi(&p, buf, &r);
  Check(part < 0 ? part : 0, "write r");
  len += static_cast<size_t>(part);
  part = mbedtls_asn1_write_len(&p, buf, len);
  Check(part < 0 ? part : 0, "write length");
  len += static_cast<size_t>(part);
  part = mbedtls_asn1_write_tag(&p, buf, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
  Check(part < 0 ? part : 0, "write tag");
  len += static_cast<size_t>(part);
  return Bytes(p, p + len);
}

Bytes PseudoRandomBytes(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(count);
  for (auto &b : out) {
    b = static_cast<unsigned char>(gen());
  }
  return out;
}

bool WycheproofVerifiersBuilt() {
  return WYCHEPROOF_VERIFIERS != 0;
}

std::string WycheproofTsv() {
  return NativePath(WYCHEPROOF_TSV);
}
