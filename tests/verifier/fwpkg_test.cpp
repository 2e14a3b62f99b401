// The package tool fwpkg: packages it makes pass the real verifier, bad
// input ends with a message and a non-zero exit, and no half-made package is
// ever left behind.
#include "verifier_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/wait.h>

namespace {

const std::string kDevAnchors = DEV_ANCHORS_DIR;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string &text) {
  return "'" + text + "'";
}

ToolRun RunTool(const std::vector<std::string> &args) {
  static int counter = 0;
  const std::string dir = FreshDir("fwpkg-run") + "/";
  std::string command = Quote(FWPKG_PATH);
  for (const std::string &arg : args) {
    command += " " + Quote(arg);
  }
  command += " > " + dir + "out 2> " + dir + "err";
  const int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + raw;
  const Bytes out = ReadFile(dir + "out");
  const Bytes err = ReadFile(dir + "err");
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  ++counter;
  return run;
}

uint32_t Be32(const Bytes &b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
         b[at + 3];
}

TEST(FwpkgTest, MakesAPackageOfTheUpdatersSizeThatTheVerifierAccepts) {
  const std::string dir = FreshDir("fwpkg-make");
  const Bytes image = PseudoRandomBytes(0x200000, 11);
  WriteFile(dir + "/image.bin", image);
  const ToolRun run =
      RunTool({"make", "--image", dir + "/image.bin", "--key", kDevAnchors + "/dm.key", "--sig-len",
               "71", "--out", dir + "/FW.bin"});
  ASSERT_EQ(run.status, 0) << run.err;

  const Bytes pkg = ReadFile(dir + "/FW.bin");
  ASSERT_EQ(pkg.size(), 2097229u);
  EXPECT_EQ(Be32(pkg, 0), 0x200000u);
  EXPECT_EQ(Bytes(pkg.begin() + 4, pkg.begin() + 4 + 0x200000), image);
  EXPECT_EQ(pkg[4 + 0x200000], 0x00);
  EXPECT_EQ(pkg[5 + 0x200000], 71);
  EXPECT_EQ(pkg[6 + 0x200000], 0x30);
  EXPECT_EQ(RunProgram(SIGNVFY_PATH, {dir + "/FW.bin"}).status, 0);

  const ToolRun verify = RunTool({"verify", dir + "/FW.bin", "--cert", kDevAnchors + "/dm.crt"});
  EXPECT_EQ(verify.status, 0) << verify.err;
  const ToolRun inspect = RunTool({"inspect", dir + "/FW.bin"});
  EXPECT_EQ(inspect.status, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("fits this updater:      yes"), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find(ToHex(Sha256(image))), std::string::npos) << inspect.out;
}

TEST(FwpkgTest, SignsAgainUntilTheSignatureHasTheRequiredForm) {
  const std::string dir = FreshDir("fwpkg-forms");
  const Bytes image = PseudoRandomBytes(1000, 12);
  WriteFile(dir + "/image.bin", image);
  for (const char *len : {"70", "71", "72"}) {
    SCOPED_TRACE(len);
    const ToolRun run =
        RunTool({"make", "--image", dir + "/image.bin", "--key", kDevAnchors + "/dm.key",
                 "--sig-len", len, "--out", dir + "/FW.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes pkg = ReadFile(dir + "/FW.bin");
    EXPECT_EQ(pkg.size(), 4 + 1000 + 2 + std::stoul(len));
    EXPECT_EQ(pkg[4 + 1000 + 1], std::stoul(len));
    EXPECT_EQ(RunProgram(SIGNVFY_PATH, {dir + "/FW.bin"}).status, 0);
  }
  // r of 32 bytes, s of 33 (leading 0x00): 30 45 02 20 <r> 02 21 00 <s>.
  const ToolRun run =
      RunTool({"make", "--image", dir + "/image.bin", "--key", kDevAnchors + "/dm.key",
               "--int-lens", "32,33", "--out", dir + "/FW.bin"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Bytes pkg = ReadFile(dir + "/FW.bin");
  const Bytes sig(pkg.begin() + 4 + 1000 + 2, pkg.end());
  ASSERT_EQ(sig.size(), 71u);
  EXPECT_EQ(ToHex(Bytes(sig.begin(), sig.begin() + 4)), "30450220");
  EXPECT_EQ(ToHex(Bytes(sig.begin() + 36, sig.begin() + 39)), "022100");
}

// The carried package is made by a script: running it again gives the same
// bytes (the nonces come from the key, the digest and the attempt number).
TEST(FwpkgTest, DevelopmentPackageScriptReproducesTheCarriedPackage) {
  const std::string out = FreshDir("fwpkg-dev") + "/firmware-PR05.pkg";
  const std::string command = Quote(std::string(PROJECT_DIR) + "/tools/make-dev-package.sh") + " " +
                              Quote(FWPKG_PATH) + " " + Quote(out) + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const Bytes made = ReadFile(out);
  const Bytes carried = ReadFile(CARRIED_PACKAGE);
  EXPECT_EQ(made.size(), 2097229u);
  EXPECT_TRUE(made == carried) << "resources/firmware-PR05.pkg differs from what the script makes";
  // The revision block at image offset 0x1EC000.
  const std::string block(carried.begin() + 4 + 0x1EC000, carried.begin() + 4 + 0x1EC000 + 28);
  EXPECT_EQ(block, std::string("KORVANEXBD-RE VX72M     PR05"));
}

struct BadMake {
  const char *what;
  std::vector<std::string> args; // after "make"; {dir} is replaced
  const char *message;           // part of the error text
};

TEST(FwpkgTest, BadInputEndsWithAMessageAndLeavesNoPackage) {
  const std::string dir = FreshDir("fwpkg-bad");
  WriteFile(dir + "/image.bin", PseudoRandomBytes(500, 13));
  WriteFile(dir + "/empty.bin", {});
  ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
                         Quote(dir + "/p384.key") + " 2>/dev/null")
                            .c_str()),
            0);
  const std::string key = kDevAnchors + "/dm.key";
  const std::string image = dir + "/image.bin";
  const std::string out = dir + "/FW.bin";
  const std::vector<BadMake> cases = {
      {"missing image", {"--image", dir + "/none.bin", "--key", key, "--out", out}, "none.bin"},
      {"empty image", {"--image", dir + "/empty.bin", "--key", key, "--out", out}, "empty"},
      {"image is a folder", {"--image", dir, "--key", key, "--out", out}, ""},
      {"missing key", {"--image", image, "--key", dir + "/none.key", "--out", out}, "none.key"},
      {"certificate as key",
       {"--image", image, "--key", kDevAnchors + "/dm.crt", "--out", out},
       "private key"},
      {"P-384 key", {"--image", image, "--key", dir + "/p384.key", "--out", out}, "P-256"},
      {"signature length 0",
       {"--image", image, "--key", key, "--sig-len", "0", "--out", out},
       "--sig-len"},
      {"signature length 142",
       {"--image", image, "--key", key, "--sig-len", "142", "--out", out},
       "--sig-len"},
      {"signature length not a number",
       {"--image", image, "--key", key, "--sig-len", "7x", "--out", out},
       "--sig-len"},
      {"signature length no P-256 signature has",
       {"--image", image, "--key", key, "--sig-len", "90", "--out", out},
       "at most 72"},
      {"contradicting forms",
       {"--image", image, "--key", key, "--sig-len", "70", "--int-lens", "32,33", "--out", out},
       "71-byte"},
      {"no output", {"--image", image, "--key", key}, "--out"},
      {"unknown option", {"--image", image, "--key", key, "--out", out, "--fast", "1"}, "--fast"},
      {"output folder missing",
       {"--image", image, "--key", key, "--out", dir + "/no/FW.bin"},
       "no/FW.bin"},
  };
  for (const BadMake &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"make"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = RunTool(args);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("fwpkg: error:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  // Nothing but the inputs is left in the folder: no temporary file either.
  size_t entries = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 3u);

  // A failing make leaves an existing package untouched.
  WriteFile(out, {1, 2, 3});
  EXPECT_NE(RunTool({"make", "--image", dir + "/empty.bin", "--key", key, "--out", out}).status, 0);
  EXPECT_EQ(ReadFile(out), (Bytes{1, 2, 3}));
}

TEST(FwpkgTest, InspectAndVerifyReportFaultyPackages) {
  const std::string dir = FreshDir("fwpkg-check");
  const SigningKey key(kDevAnchors + "/dm.key");
  const Bytes image = PseudoRandomBytes(3000, 14);
  const Bytes sig = key.Sign(image);
  WriteFile(dir + "/good.bin", MakePackage(image, sig));
  Bytes tampered = MakePackage(image, sig);
  tampered[100] ^= 0x80;
  WriteFile(dir + "/tampered.bin", tampered);
  WriteFile(dir + "/zero.bin", PackageWithFields(0, image, static_cast<uint16_t>(sig.size()), sig));
  Bytes cut = MakePackage(image, sig);
  cut.resize(cut.size() - 5);
  WriteFile(dir + "/cut.bin", cut);
  WriteFile(dir + "/long-s.bin", PackageWithFields(3000, image, 142, sig));

  const std::string cert = kDevAnchors + "/dm.crt";
  EXPECT_EQ(RunTool({"verify", dir + "/good.bin", "--cert", cert}).status, 0);
  const ToolRun bad = RunTool({"verify", dir + "/tampered.bin", "--cert", cert});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("INVALID"), std::string::npos) << bad.out;
  EXPECT_EQ(RunTool({"verify", dir + "/good.bin", "--cert", kDevAnchors + "/ca.crt"}).status, 1);
  EXPECT_EQ(RunTool({"verify", dir + "/good.bin", "--cert", dir + "/none.crt"}).status, 1);

  for (const char *name : {"zero.bin", "cut.bin", "long-s.bin", "none.bin"}) {
    SCOPED_TRACE(name);
    for (const char *command : {"inspect", "verify"}) {
      const ToolRun run = command == std::string("inspect")
                              ? RunTool({command, dir + "/" + name})
                              : RunTool({command, dir + "/" + name, "--cert", cert});
      EXPECT_EQ(run.status, 1) << command;
      EXPECT_NE(run.err.find("fwpkg: error:"), std::string::npos) << command << run.err;
    }
  }
  const ToolRun inspect = RunTool({"inspect", dir + "/good.bin"});
  EXPECT_EQ(inspect.status, 0);
  EXPECT_NE(inspect.out.find("fits this updater:      no"), std::string::npos) << inspect.out;
  EXPECT_EQ(RunTool({}).status, 2);
  EXPECT_EQ(RunTool({"sign"}).status, 2);
}

} // namespace
