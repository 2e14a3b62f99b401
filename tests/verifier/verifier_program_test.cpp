// The verifier program as the updater runs it: one argument, verdict in the
// exit status, diagnostics on standard output. Built with the development
// anchors; packages are signed with the development signing key.
#include "verifier_test_support.h"

#include <gtest/gtest.h>

namespace {

const std::string kDevAnchors = NativePath(DEV_ANCHORS_DIR);

class VerifierProgramTest : public ::testing::Test {
protected:
  VerifierProgramTest() : key_(kDevAnchors + "/dm.key") {}

  // Writes `content` as a package file and runs the verifier on it.
  RunResult RunOn(const Bytes &content) {
    path_ = FreshDir("pkg") + "/FW.bin";
    WriteFile(path_, content);
    return RunProgram(verifier_, {path_});
  }

  const std::string verifier_ = NativePath(SIGNVFY_PATH);
  SigningKey key_;
  std::string path_;
};

std::string Format(const std::string &pattern, const std::string &name) {
  std::string out = pattern;
  const size_t at = out.find("%s");
  if (at != std::string::npos) {
    out.replace(at, 2, name);
  }
  return Lines(out);
}

TEST_F(VerifierProgramTest, CarriedPackageIsVerifiedSilently) {
  const RunResult run = RunProgram(verifier_, {NativePath(CARRIED_PACKAGE)});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

TEST_F(VerifierProgramTest, WithoutArgumentSaysFwNameIsNull) {
  const RunResult run = RunProgram(verifier_, {});
  EXPECT_EQ(run.status, ExpectedExit(0xF001));
  EXPECT_EQ(run.out, Lines("### fw_name is NULL value.\n"));
}

TEST_F(VerifierProgramTest, MissingFileWritesTwoOpenErrorLines) {
  const std::string name = FreshDir("missing") + "/nothere.bin";
  const RunResult run = RunProgram(verifier_, {name});
  EXPECT_EQ(run.status, ExpectedExit(0xF005));
  EXPECT_EQ(run.out, Lines(name + " open error\n" + name + " open error\n"));
}

// 511 characters still fit the path buffer; longer paths are refused as
// unopenable, whole in the message, without writing past the buffer.
TEST_F(VerifierProgramTest, OverlongPathIsRefusedLikeAFileThatDoesNotOpen) {
  const std::string dir = FreshDir("long");
  for (size_t length : {size_t{511}, size_t{512}, size_t{700}, size_t{4000}}) {
    const std::string name = dir + "/" + std::string(length - dir.size() - 1, 'x');
    ASSERT_EQ(name.size(), length);
    const RunResult run = RunProgram(verifier_, {name});
    EXPECT_EQ(run.status, ExpectedExit(0xF005)) << length;
    EXPECT_EQ(run.out, Lines(name + " open error\n" + name + " open error\n")) << length;
  }
}

TEST_F(VerifierProgramTest, FurtherArgumentsAreIgnored) {
  const Bytes image = PseudoRandomBytes(1000, 1);
  path_ = FreshDir("args") + "/FW.bin";
  WriteFile(path_, MakePackage(image, key_.Sign(image)));
  const RunResult run = RunProgram(verifier_, {path_, "--ignored", "also ignored"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

// Image lengths around the 4,096-byte read size: every piece is hashed and
// the signature length is read right after the last one.
TEST_F(VerifierProgramTest, ImagesAroundTheReadSizeVerify) {
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{8192},
                      size_t{3 * 4096}, size_t{3 * 4096 + 1}}) {
    const Bytes image = PseudoRandomBytes(size, static_cast<uint32_t>(size));
    const RunResult run = RunOn(MakePackage(image, key_.Sign(image)));
    EXPECT_EQ(run.status, 0) << size;
    EXPECT_EQ(run.out, "") << size;
  }
}

TEST_F(VerifierProgramTest, BytesAfterTheSignatureChangeNothing) {
  const Bytes image = PseudoRandomBytes(5000, 2);
  Bytes pkg = MakePackage(image, key_.Sign(image));
  const Bytes extra = PseudoRandomBytes(300, 3);
  pkg.insert(pkg.end(), extra.begin(), extra.end());
  EXPECT_EQ(RunOn(pkg).status, 0);

  Bytes bad = MakePackage(image, key_.Sign(PseudoRandomBytes(5000, 4)));
  bad.insert(bad.end(), extra.begin(), extra.end());
  EXPECT_EQ(RunOn(bad).status, ExpectedExit(0xF008));
}

// The missing bytes of a file cut inside the signature count as 0x00: a
// signature whose last byte is 0x00 still verifies without it, any other cut
// fails silently.
TEST_F(VerifierProgramTest, FileCutInsideTheSignatureReadsZeros) {
  const Bytes image = PseudoRandomBytes(3000, 5);
  Bytes sig;
  for (uint32_t variant = 0; sig.empty() || sig.back() != 0; ++variant) {
    ASSERT_LT(variant, 5000u);
    sig = key_.Sign(image, variant);
  }
  Bytes pkg = MakePackage(image, sig);
  pkg.pop_back();
  RunResult run = RunOn(pkg);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");

  const Bytes other = key_.Sign(image, 1);
  Bytes cut = MakePackage(image, other);
  cut.resize(cut.size() - 10);
  run = RunOn(cut);
  EXPECT_EQ(run.status, ExpectedExit(0xF008));
  EXPECT_EQ(run.out, "");
}

struct FailureCase {
  const char *what;
  Bytes content;
  uint16_t status;
  const char *out; // %s stands for the file name
};

// Every refusal of the package reader and of the signature check, with its
// status and exact output.
TEST_F(VerifierProgramTest, FaultyPackagesAreRefusedWithTheirStatusAndMessage) {
  const Bytes image = PseudoRandomBytes(6000, 6);
  const Bytes sig = key_.Sign(image);
  ASSERT_GE(sig.size(), 70u);
  const Bytes digest = Sha256(image);

  mbedtls_mpi r, s, value;
  mbedtls_mpi_init(&r);
  mbedtls_mpi_init(&s);
  mbedtls_mpi_init(&value);
  key_.SignRaw(digest, 0, &r, &s);
  const Bytes canonical = EncodeSignature(r, s);
  mbedtls_mpi_lset(&value, 0);
  const Bytes r_zero = EncodeSignature(value, s);
  const Bytes s_order = EncodeSignature(r, key_.Order());
  mbedtls_mpi_add_mpi(&value, &s, &key_.Order());
  const Bytes s_plus_order = EncodeSignature(r, value);
  mbedtls_mpi_add_mpi(&value, &r, &key_.Order());
  const Bytes r_plus_order = EncodeSignature(value, s);
  const Bytes third_element = EncodeSignature(r, s, {0x02, 0x01, 0x01});
  mbedtls_mpi_free(&r);
  mbedtls_mpi_free(&s);
  mbedtls_mpi_free(&value);

  Bytes image_changed = image;
  image_changed[4321] ^= 0x01;
  // The image length field (6000) followed by the image.
  Bytes length_and_image = MakePackage(image, {});
  length_and_image.resize(length_and_image.size() - 2);
  const SigningKey root_key(kDevAnchors + "/ca.key");
  Bytes sig_plus_byte = canonical;
  sig_plus_byte.push_back(0x00);
  Bytes padded_141 = canonical;
  padded_141.resize(141, 0x00);
  Bytes no_sig_length = PackageWithFields(6000, image, 0, {});
  no_sig_length.resize(4 + 6000);
  Bytes cut_in_signature = MakePackage(image, canonical);
  cut_in_signature.resize(cut_in_signature.size() - 30);
  Bytes one_byte_sig_length = no_sig_length;
  one_byte_sig_length.push_back(0x00);

  const std::vector<FailureCase> cases = {
      {"empty file", {}, 0xF006, "##%s read size error.\n"},
      {"three bytes", {0x00, 0x00, 0x10}, 0xF006, "##%s read size error.\n"},
      {"image length 0", PackageWithFields(0, image, static_cast<uint16_t>(sig.size()), sig),
       0xF006, "##%s size info is zero.\n"},
      {"image length beyond the file", PackageWithFields(0x00200000, image, 0, {}), 0xF006,
       "##%s size is invalid.\n"},
      {"image length 0xFFFFFFFF", PackageWithFields(0xFFFFFFFF, image, 0, {}), 0xF006,
       "##%s size is invalid.\n"},
      {"file ends after the image", no_sig_length, 0xF007, "##Sig read size error.\n"},
      {"one byte of signature length", one_byte_sig_length, 0xF007, "##Sig read size error.\n"},
      {"signature length 0", PackageWithFields(6000, image, 0, sig), 0xF007,
       "##Sig size info is invalid[0].\n"},
      {"signature length 142", PackageWithFields(6000, image, 142, padded_141), 0xF007,
       "##Sig size info is invalid[142].\n"},
      {"signature length 65535", PackageWithFields(6000, image, 0xFFFF, sig), 0xF007,
       "##Sig size info is invalid[65535].\n"},
      // From here on the reader is satisfied and only the signature check refuses.
      {"signature length 141 passes the length test", MakePackage(image, padded_141), 0xF008, ""},
      {"image differs in one byte", MakePackage(image_changed, sig), 0xF008, ""},
      {"signed with the root's key", MakePackage(image, root_key.Sign(image)), 0xF008, ""},
      {"digest over length field and image", MakePackage(image, key_.Sign(length_and_image)),
       0xF008, ""},
      {"one more byte counted in S", MakePackage(image, sig_plus_byte), 0xF008, ""},
      {"third element in the sequence", MakePackage(image, third_element), 0xF008, ""},
      {"sequence claims more than S bytes",
       PackageWithFields(6000, image, static_cast<uint16_t>(canonical.size() - 1), canonical),
       0xF008, ""},
      {"r = 0", MakePackage(image, r_zero), 0xF008, ""},
      {"s = n", MakePackage(image, s_order), 0xF008, ""},
      {"s + n (same value mod n)", MakePackage(image, s_plus_order), 0xF008, ""},
      {"r + n (same value mod n)", MakePackage(image, r_plus_order), 0xF008, ""},
      {"not a sequence", MakePackage(image, Bytes(70, 0x02)), 0xF008, ""},
      {"file cut inside the signature", cut_in_signature, 0xF008, ""},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run = RunOn(c.content);
    EXPECT_EQ(run.status, ExpectedExit(c.status));
    EXPECT_EQ(run.out, Format(c.out, path_));
  }
  // The well-formed package of the same parts verifies.
  EXPECT_EQ(RunOn(MakePackage(image, canonical)).status, 0);
}

} // namespace
