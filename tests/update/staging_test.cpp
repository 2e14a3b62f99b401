// Staging of the package and the verifier: a private folder, files locked
// from their writing until the verifier has ended, a quoted command line, and
// nothing left behind on any path.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/update/update_fixture.h"
#include "updater/package/package.h"

using update_test::UpdaterRun;

namespace {

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void MakeFolder(const std::string &path) {
#ifdef _WIN32
  mkdir(path.c_str());
#else
  mkdir(path.c_str(), 0755);
#endif
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Succeeded() {
  return std::string(MSG_UPDATE_COMPLETE);
}

class Staging : public UpdaterRun {
protected:
  void SetUp() override {
    UpdaterRun::SetUp();
    drive_ = &sim::AddVx72m('E', "PR03");
    drive_->longWriteMs = 500;
  }
  sim::Drive *drive_ = nullptr;
};

TEST_F(Staging, WritesThePackageIn4096BytePiecesAndTheRest) {
  Run();
  // The handle of the write-only open of FW.bin, then the writes through it.
  uint64_t handle = 0;
  std::vector<uint64_t> sizes;
  for (const auto &call : sim::Calls()) {
    if (call.fn == "CreateFileW" && EndsWith(call.text, "FW.bin") && call.args[0] == GENERIC_WRITE)
      handle = call.args[6];
    else if (call.fn == "WriteFile" && handle != 0 && call.args[0] == handle)
      sizes.push_back(call.args[2]);
    else if (call.fn == "CloseHandle" && call.args[0] == handle)
      handle = 0;
  }
  std::vector<uint64_t> expected(512, 4096);
  expected.push_back(77);
  EXPECT_EQ(expected, sizes);
}

TEST_F(Staging, LocksBothFilesFromTheirWritingUntilTheVerifierHasEnded) {
  auto run = Run();
  ASSERT_NE(std::string::npos, run.out.find(Succeeded()));
  // The order of the file operations, by kind and file.
  std::vector<std::string> steps;
  for (const auto &call : sim::Calls()) {
    std::string file = EndsWith(call.text, "FW.bin")        ? "FW.bin"
                       : EndsWith(call.text, "SIGNVFY.EXE") ? "SIGNVFY.EXE"
                                                            : "";
    if (call.fn == "CreateFileW" && !file.empty()) {
      char line[160];
      snprintf(line, sizeof(line), "open %s access=%llx share=%llu disposition=%llu", file.c_str(),
               (unsigned long long)call.args[0], (unsigned long long)call.args[1],
               (unsigned long long)call.args[3]);
      steps.push_back(line);
    } else if (call.fn == "CreateProcessW" || call.fn == "WaitForSingleObject" ||
               call.fn == "CreateDirectoryW" || call.fn == "RemoveDirectoryW") {
      steps.push_back(call.fn);
    } else if (call.fn == "DeleteFileW") {
      steps.push_back("delete " + file);
    }
  }
  const std::vector<std::string> expected = {
      "CreateDirectoryW",
      "open FW.bin access=40000000 share=0 disposition=1", // new, no one else may open it
      "open FW.bin access=80000000 share=1 disposition=3", // readers only, until the end
      "open SIGNVFY.EXE access=40000000 share=0 disposition=1",
      "open SIGNVFY.EXE access=80000000 share=1 disposition=3",
      "CreateProcessW",
      "WaitForSingleObject",
      "delete FW.bin",
      "delete SIGNVFY.EXE",
      "RemoveDirectoryW",
  };
  EXPECT_EQ(expected, steps);
}

TEST_F(Staging, StartsTheVerifierWithQuotedPathsInTheSameConsole) {
  sim::SetTempFolder(sim::TempFolder() + "Taro Yamada/");
  auto run = Run();
  EXPECT_NE(std::string::npos, run.out.find(Succeeded())) << run.out;
  auto calls = sim::CallsTo("CreateProcessW");
  ASSERT_EQ(1u, calls.size());
  const std::string &line = calls[0].text;
  // "<folder>\SIGNVFY.EXE" "<folder>\FW.bin", each path whole in its quotes
  ASSERT_EQ('"', line.front());
  size_t middle = line.find("\" \"");
  ASSERT_NE(std::string::npos, middle);
  EXPECT_TRUE(EndsWith(line.substr(0, middle), "SIGNVFY.EXE"));
  EXPECT_TRUE(EndsWith(line, "FW.bin\""));
  EXPECT_NE(std::string::npos, line.find("Taro Yamada"));
  EXPECT_TRUE(sim::TempFolderEntries().empty());
}

TEST_F(Staging, ThingsAlreadyInTheTemporaryFolderDoNotDisturbTheRun) {
  const std::string temp = sim::TempFolder();
  MakeFolder(temp + "FW.bin");                 // a folder where the package used to go
  WriteFileBytes(temp + "SIGNVFY.EXE", "old"); // a read-only verifier left from before
  chmod((temp + "SIGNVFY.EXE").c_str(), 0444);
  // Another updater's files, in its own folder.
  MakeFolder(temp + "vx72m-00000000000000000000000000000000");
  WriteFileBytes(temp + "vx72m-00000000000000000000000000000000/FW.bin", "theirs");
  // The first name this run draws is that folder's: it must take another.
  sim::QueueRandomBytes(std::vector<uint8_t>(16, 0));

  auto run = Run();
  EXPECT_NE(std::string::npos, run.out.find(Succeeded())) << run.out;
  auto left = sim::TempFolderEntries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(
      (std::vector<std::string>{"FW.bin", "SIGNVFY.EXE", "vx72m-00000000000000000000000000000000",
                                "vx72m-00000000000000000000000000000000/FW.bin"}),
      left);
  std::ifstream theirs(temp + "vx72m-00000000000000000000000000000000/FW.bin");
  std::string content((std::istreambuf_iterator<char>(theirs)), std::istreambuf_iterator<char>());
  EXPECT_EQ("theirs", content);
}

TEST_F(Staging, EveryFailureLeavesNothingBehindAndRefusesThePackage) {
  struct Case {
    const char *name;
    std::function<void()> machine;
    bool verifierStarts;
  };
  const std::string longName(200, 'x');
  const std::vector<Case> cases = {
      {"temporary folder unknown", [] { sim::SetTempFolder(""); }, false},
      {"temporary folder longer than the path buffer",
       [&] { sim::SetTempFolder(sim::TempFolder() + longName + "/" + longName + "/"); }, false},
      {"file names longer than the path buffer",
       // The folder fits, the folder with its file names does not.
       [&] {
         sim::SetTempFolder(sim::TempFolder() +
                            std::string(258 - 39 - sim::TempFolder().size(), 'y') + "/");
       },
       false},
      {"verifier resource missing", [] { sim::RemoveResource(VERIFIER_RESOURCE_ID); }, false},
      {"verifier cannot start", [] { sim::SetCreateProcessError(ERROR_ACCESS_DENIED); }, true},
      {"package changed between writing and locking",
       [] {
         sim::OnCall([](const sim::Call &call) {
           static bool done = false;
           if (call.fn == "CloseHandle" && !done) {
             for (const auto &entry : sim::TempFolderEntries()) {
               if (EndsWith(entry, "FW.bin")) {
                 std::fstream f(sim::TempFolder() + entry,
                                std::ios::in | std::ios::out | std::ios::binary);
                 f.seekp(4 + 0x1000);
                 f.put('!');
                 done = true;
               }
             }
           }
         });
       },
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.machine();
    auto run = Run();
    EXPECT_EQ(Header("PR03") + Report(MSG_LOAD_FAILED), run.out);
    EXPECT_EQ((std::vector<int>{0x12, 0x12, 0x3C, 0x00}), Opcodes(*drive_));
    EXPECT_EQ(c.verifierStarts, !sim::CallsTo("CreateProcessW").empty());
    EXPECT_TRUE(sim::TempFolderEntries().empty());
  }
}

} // namespace
