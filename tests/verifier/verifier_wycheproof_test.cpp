// Wycheproof ECDSA P-256 / SHA-256 vectors. Groups 0 and 1 run end to end
// through verifier programs whose signing certificate holds the group's public
// key (image = message, signature = vector); every group also runs through
// the library call the verifier makes.
#include "verifier_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <mbedtls/asn1.h>
#include <mbedtls/ecdsa.h>

namespace {

struct Vector {
  int group = 0;
  int tc_id = 0;
  bool valid = false;
  std::string flags;
  Bytes msg;
  Bytes sig;
};

struct Vectors {
  std::map<int, Bytes> keys; // group -> public key DER
  std::vector<Vector> tests;
};

// Signatures that Wycheproof calls invalid only for their encoding: mbed TLS
// reads the same (r, s) as a valid signature from them. Each is checked below
// to be accepted and to re-encode (DER) into a valid signature.
const std::map<int, const char *> kAcceptedEncodings = {
    {6, "s has its top bit set but no leading 0x00 (a negative INTEGER in DER): "
        "mbed TLS reads INTEGER contents as an unsigned magnitude"},
    {8, "SEQUENCE length in long form (81 45): mbed TLS's length reader takes "
        "non-minimal long forms"},
    {9, "SEQUENCE length in long form with a leading zero (82 00 45): same"},
    {67, "r's length in long form: same"},
    {68, "r's length in long form with a leading zero: same"},
    {84, "r with extra leading 0x00 bytes: mbed TLS reads the magnitude, leading zeros "
         "and all"},
    {114, "s's length in long form: same as 8"},
    {115, "s's length in long form with a leading zero: same as 9"},
    {128, "s with extra leading 0x00 bytes: same as 84"},
};

std::vector<std::string> SplitTabs(const std::string &line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

bool LoadVectors(Vectors *vectors) {
  std::ifstream in(WycheproofTsv());
  if (!in) {
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f[0] == "key" && f.size() == 3) {
      vectors->keys[std::stoi(f[1])] = FromHex(f[2]);
    } else if (f[0] == "vec" && f.size() == 7) {
      Vector v;
      v.group = std::stoi(f[1]);
      v.tc_id = std::stoi(f[2]);
      v.valid = f[3] == "valid";
      v.flags = f[4];
      v.msg = FromHex(f[5]);
      v.sig = FromHex(f[6]);
      vectors->tests.push_back(v);
    }
  }
  return !vectors->tests.empty();
}

// The verifier's signature check, in process: 0 means accepted.
int LibraryCheck(const Bytes &key_der, const Bytes &msg, const Bytes &sig) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  int ret = mbedtls_pk_parse_public_key(&pk, key_der.data(), key_der.size());
  if (ret == 0) {
    const Bytes digest = Sha256(msg);
    ret = mbedtls_ecdsa_read_signature(mbedtls_pk_ec(pk), digest.data(), digest.size(), sig.data(),
                                       sig.size());
  }
  mbedtls_pk_free(&pk);
  return ret;
}

// The same (r, s) as mbed TLS reads them, re-encoded in DER.
Bytes Reencode(const Bytes &sig) {
  unsigned char *p = const_cast<unsigned char *>(sig.data());
  const unsigned char *end = p + sig.size();
  size_t len = 0;
  mbedtls_mpi r, s;
  mbedtls_mpi_init(&r);
  mbedtls_mpi_init(&s);
  Bytes der;
  if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) == 0 &&
      mbedtls_asn1_get_mpi(&p, end, &r) == 0 && mbedtls_asn1_get_mpi(&p, end, &s) == 0) {
    der = EncodeSignature(r, s);
  }
  mbedtls_mpi_free(&r);
  mbedtls_mpi_free(&s);
  return der;
}

class WycheproofTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!LoadVectors(&vectors_)) {
      GTEST_SKIP() << "Wycheproof vectors not found: expected " << WYCHEPROOF_JSON
                   << " (the shared folder beside the checkout)";
    }
  }
  Vectors vectors_;
};

TEST_F(WycheproofTest, EndToEndThroughTheVerifierProgram) {
  if (!WycheproofVerifiersBuilt()) {
    GTEST_SKIP() << "the Wycheproof verifiers were not built: " << WYCHEPROOF_JSON
                 << " was absent at configure time";
  }
  const std::string dir = FreshDir("wycheproof");
  int run_count = 0;
  for (const Vector &v : vectors_.tests) {
    if (v.group > 1) {
      continue;
    }
#ifdef _WIN32
    // Under Wine a representative subset: every tenth vector and the
    // accepted re-encodings.
    if (v.tc_id % 10 != 1 && kAcceptedEncodings.count(v.tc_id) == 0) {
      continue;
    }
#endif
    SCOPED_TRACE("tcId " + std::to_string(v.tc_id) + " " + v.flags);
    const bool expect_accept = v.valid || kAcceptedEncodings.count(v.tc_id) != 0;
    if (v.msg.empty() || v.sig.size() > 0xFFFF) {
      // An empty image cannot be packaged (the image length must be at least
      // 1): such vectors go through the library call only.
      EXPECT_EQ(LibraryCheck(vectors_.keys[v.group], v.msg, v.sig) == 0, expect_accept);
      continue;
    }
    const std::string path = dir + "/tc" + std::to_string(v.tc_id) + ".bin";
    WriteFile(path, MakePackage(v.msg, v.sig));
    const RunResult run =
        RunProgram(VariantVerifier("wycheproof-" + std::to_string(v.group)), {path});
    ++run_count;
    EXPECT_EQ(run.status == 0, expect_accept) << "status " << run.status;
    if (run.status == 0 || run.status == ExpectedExit(0xF008)) {
      EXPECT_EQ(run.out, "");
    }
  }
  EXPECT_GT(run_count, 0);
}

TEST_F(WycheproofTest, EveryGroupThroughTheLibraryCall) {
  std::map<int, bool> accepted_encoding_seen;
  for (const Vector &v : vectors_.tests) {
    SCOPED_TRACE("group " + std::to_string(v.group) + " tcId " + std::to_string(v.tc_id) + " " +
                 v.flags);
    const bool accepted = LibraryCheck(vectors_.keys[v.group], v.msg, v.sig) == 0;
    const auto exception = kAcceptedEncodings.find(v.tc_id);
    if (exception == kAcceptedEncodings.end()) {
      EXPECT_EQ(accepted, v.valid);
      continue;
    }
    // A listed vector is accepted, is invalid only as an encoding, and its
    // DER re-encoding is a valid signature of the same message.
    accepted_encoding_seen[v.tc_id] = true;
    EXPECT_TRUE(accepted) << exception->second;
    EXPECT_FALSE(v.valid);
    const Bytes der = Reencode(v.sig);
    EXPECT_NE(der, v.sig);
    EXPECT_EQ(LibraryCheck(vectors_.keys[v.group], v.msg, der), 0);
  }
  EXPECT_EQ(accepted_encoding_seen.size(), kAcceptedEncodings.size());
}

} // namespace
