// The chain check, through verifiers built with other trust anchors, and the
// clock limit of the development signing certificate.
#include "verifier_test_support.h"

#include <gtest/gtest.h>

namespace {

const std::string kChainFailed = "### verification of the certificate(s) failed.\n";

struct ChainCase {
  const char *variant;
  const char *signing_key; // anchors folder whose dm.key signs the package
};

// Each of these fails the chain check, so every package fails with 0xF002
// before the file is opened: a missing file and a correctly signed package
// alike.
TEST(VerifierAnchorsTest, BrokenChainsRefuseEveryPackage) {
  const std::vector<ChainCase> cases = {
      {"broken-root", "base"}, {"broken-dm", "base"},      {"no-keycertsign", "no-keycertsign"},
      {"expired", "expired"},  {"root-other-key", "base"}, {"root-other-subject", "base"},
  };
  for (const ChainCase &c : cases) {
    SCOPED_TRACE(c.variant);
    const std::string dir = FreshDir(c.variant);
    const Bytes image = PseudoRandomBytes(2000, 7);
    const SigningKey key(TestAnchors(c.signing_key) + "/dm.key");
    WriteFile(dir + "/FW.bin", MakePackage(image, key.Sign(image)));

    for (const std::string &name : {dir + "/FW.bin", dir + "/missing.bin"}) {
      const RunResult run = RunProgram(VariantVerifier(c.variant), {name});
      EXPECT_EQ(run.status, ExpectedExit(0xF002)) << name;
      EXPECT_EQ(run.out, Lines(kChainFailed)) << name;
    }
  }
}

// The same verifier program with a good pair of test anchors accepts their
// key's signature and refuses the development key's: only the anchors differ.
TEST(VerifierAnchorsTest, TestAnchorsReplaceTheDevelopmentOnes) {
  const std::string dir = FreshDir("base");
  const Bytes image = PseudoRandomBytes(2000, 8);
  const SigningKey key(TestAnchors("base") + "/dm.key");
  const SigningKey dev_key(NativePath(DEV_ANCHORS_DIR) + "/dm.key");
  WriteFile(dir + "/good.bin", MakePackage(image, key.Sign(image)));
  WriteFile(dir + "/dev.bin", MakePackage(image, dev_key.Sign(image)));

  EXPECT_EQ(RunProgram(VariantVerifier("base"), {dir + "/good.bin"}).status, 0);
  EXPECT_EQ(RunProgram(VariantVerifier("base"), {dir + "/dev.bin"}).status, ExpectedExit(0xF008));
  EXPECT_EQ(RunProgram(NativePath(SIGNVFY_PATH), {dir + "/good.bin"}).status, ExpectedExit(0xF008));
}

// The root is trusted by being the anchor: its own signature is never checked.
TEST(VerifierAnchorsTest, RootWithAlteredSelfSignatureStillServes) {
  const std::string dir = FreshDir("selfsig");
  const Bytes image = PseudoRandomBytes(2000, 9);
  const SigningKey key(TestAnchors("root-bad-selfsig") + "/dm.key");
  WriteFile(dir + "/FW.bin", MakePackage(image, key.Sign(image)));
  const RunResult run = RunProgram(VariantVerifier("root-bad-selfsig"), {dir + "/FW.bin"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

// A signing certificate with an RSA key passes the chain check but has no EC
// key: the signature check fails cleanly instead of using a null key.
TEST(VerifierAnchorsTest, SigningCertificateWithoutEcKeyFailsTheSignatureCheck) {
  const std::string dir = FreshDir("rsa");
  const Bytes image = PseudoRandomBytes(2000, 10);
  const SigningKey key(TestAnchors("base") + "/dm.key");
  WriteFile(dir + "/FW.bin", MakePackage(image, key.Sign(image)));
  const RunResult run = RunProgram(VariantVerifier("rsa-dm"), {dir + "/FW.bin"});
  EXPECT_EQ(run.status, ExpectedExit(0xF008));
  EXPECT_EQ(run.out, "");
}

// The development signing certificate is valid up to and including
// 2031-10-22 06:32:37 UTC, whatever the local time zone. Wine runs of this
// are in verifier_wine_clock (libfaketime works on the Linux side).
TEST(VerifierClockTest, SigningCertificateExpiresAfterItsLastSecondInUtc) {
#ifdef _WIN32
  GTEST_SKIP() << "libfaketime is applied from Linux: see the verifier_wine_clock test";
#endif
  const std::string dir = FreshDir("clock");
  WriteFile(dir + "/FW.bin", ReadFile(CARRIED_PACKAGE));
  for (const char *tz : {"UTC", "Asia/Tokyo", "America/Los_Angeles", "Pacific/Kiritimati"}) {
    SCOPED_TRACE(tz);
    // The clock is frozen at a number of seconds since the epoch, which is
    // UTC by definition (libfaketime reads a date text in local time).
    // 1950417157 is 2031-10-22 06:32:37 UTC. ASan's runtime need not come
    // first when libfaketime is preloaded.
    const std::string fake = std::string("TZ=") + tz +
                             " ASAN_OPTIONS=verify_asan_link_order=0 FAKETIME_FMT=%s faketime -f ";
    const std::string at_limit = fake + "1950417157 ";
    const std::string after = fake + "1950417158 ";
    RunResult run = RunProgram(SIGNVFY_PATH, {dir + "/FW.bin"}, at_limit);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    run = RunProgram(SIGNVFY_PATH, {dir + "/FW.bin"}, after);
    EXPECT_EQ(run.status, ExpectedExit(0xF002));
    EXPECT_EQ(run.out, kChainFailed);
    run = RunProgram(SIGNVFY_PATH, {dir + "/missing.bin"}, after);
    EXPECT_EQ(run.status, ExpectedExit(0xF002));
    EXPECT_EQ(run.out, kChainFailed);
  }
}

} // namespace
