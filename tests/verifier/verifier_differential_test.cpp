// Differential check: generated packages, some tampered at random positions,
// get the same verdict from the verifier and from OpenSSL
// (openssl dgst -sha256 -verify) on the same image and signature bytes.
#include "verifier_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

TEST(VerifierDifferentialTest, SameVerdictAsOpenssl) {
#ifdef _WIN32
  GTEST_SKIP() << "OpenSSL runs on the Linux side: the Linux builds run this test";
#endif
  const std::string anchors = NativePath(DEV_ANCHORS_DIR);
  const std::string dir = FreshDir("differential");
  const std::string pubkey = dir + "/dm.pub";
  ASSERT_EQ(
      std::system(
          ("openssl x509 -in '" + anchors + "/dm.crt' -pubkey -noout > '" + pubkey + "'").c_str()),
      0);
  const SigningKey key(anchors + "/dm.key");
  std::mt19937 gen(20311022);
  int accepted = 0;
  int refused = 0;
  for (int i = 0; i < 60; ++i) {
    const size_t size = 1 + gen() % 20000;
    Bytes image = PseudoRandomBytes(size, static_cast<uint32_t>(gen()));
    Bytes sig = key.Sign(image, static_cast<uint32_t>(i));
    std::string change = "none";
    switch (gen() % 4) {
    case 1: {
      const size_t at = gen() % image.size();
      image[at] ^= static_cast<unsigned char>(1u << (gen() % 8));
      change = "image byte " + std::to_string(at);
      break;
    }
    case 2: {
      const size_t at = gen() % sig.size();
      sig[at] ^= static_cast<unsigned char>(1u << (gen() % 8));
      change = "signature byte " + std::to_string(at);
      break;
    }
    case 3: {
      const size_t at = gen() % sig.size();
      sig[at] = static_cast<unsigned char>(gen());
      change = "signature byte " + std::to_string(at) + " replaced";
      break;
    }
    default:
      break;
    }
    SCOPED_TRACE("case " + std::to_string(i) + ": " + std::to_string(size) + " bytes, " + change);
    const std::string base = dir + "/case" + std::to_string(i);
    WriteFile(base + ".pkg", MakePackage(image, sig));
    WriteFile(base + ".img", image);
    WriteFile(base + ".sig", sig);

    const bool verifier_ok = RunProgram(SIGNVFY_PATH, {base + ".pkg"}).status == 0;
    const std::string openssl = "openssl dgst -sha256 -verify '" + pubkey + "' -signature '" +
                                base + ".sig' '" + base + ".img' > /dev/null 2>&1";
    const bool openssl_ok = std::system(openssl.c_str()) == 0;
    EXPECT_EQ(verifier_ok, openssl_ok);
    (verifier_ok ? accepted : refused)++;
  }
  // Both verdicts occurred.
  EXPECT_GT(accepted, 5);
  EXPECT_GT(refused, 5);
}

} // namespace
