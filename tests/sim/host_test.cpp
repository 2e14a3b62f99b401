// The simulated machine's real side: the temporary folder, folders and files
// on the disk with their share modes, and child processes with their output
// and exit status.
#include <fstream>
#include <iterator>

#include "tests/sim/sim_fixture.h"

namespace {

std::wstring Wide(const std::string &text) {
  return std::wstring(text.begin(), text.end());
}

class Host : public ::testing::Test {
protected:
  void SetUp() override {
    sim::Reset();
    temp = sim::TempFolder();
  }
  void TearDown() override { sim::Reset(); }

  HANDLE Open(const std::string &name, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(Wide(temp + name).c_str(), access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  bool Write(HANDLE file, const std::string &bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }
  // The child program, written out into the temporary folder as the updater
  // writes the verifier (not executable yet on POSIX).
  std::string StageChild(const std::string &name) {
    std::ifstream in(SIM_CHILD, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GT(bytes.size(), 0u);
    HANDLE file = Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(file, bytes));
    CloseHandle(file);
    return temp + name;
  }
  struct Run {
    BOOL started = FALSE;
    DWORD error = 0;
    DWORD wait = 0;
    DWORD status = 0;
  };
  Run Start(std::string commandLine, DWORD flags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW,
            HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE)) {
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = flags;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    Run run;
    run.started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &process);
    if (!run.started) {
      run.error = GetLastError();
      return run;
    }
    run.wait = WaitForSingleObject(process.hProcess, INFINITE);
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &run.status));
    EXPECT_TRUE(CloseHandle(process.hProcess));
    EXPECT_TRUE(CloseHandle(process.hThread));
    return run;
  }

  std::string temp;
};

TEST_F(Host, EachMachineHasAFreshEmptyTemporaryFolder) {
  ASSERT_FALSE(temp.empty());
  const char last = temp.back();
  EXPECT_TRUE(last == '/' || last == '\\');
  EXPECT_TRUE(sim::TempFolderEntries().empty());
  wchar_t path[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, path);
  EXPECT_EQ(std::wstring(path, length), Wide(temp));
  EXPECT_EQ(GetTempPathW(3, path), length + 1); // too small: the size needed

  ASSERT_TRUE(CreateDirectoryW(Wide(temp + "left").c_str(), nullptr));
  sim::Reset();
  EXPECT_NE(sim::TempFolder(), temp);
  EXPECT_TRUE(CreateDirectoryW(Wide(temp).c_str(), nullptr)); // the old one is gone
  EXPECT_TRUE(RemoveDirectoryW(Wide(temp).c_str()));
}

TEST_F(Host, TheTemporaryFolderMayBeMovedOrTakenAway) {
  const std::string blank = temp + "My Temp";
  sim::SetTempFolder(blank);
  wchar_t path[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, path);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::wstring(path, length - 1), Wide(blank));
  EXPECT_EQ(sim::TempFolder().substr(0, blank.size()), blank);
  sim::SetTempFolder("");
  EXPECT_EQ(GetTempPathW(MAX_PATH, path), 0u);
}

TEST_F(Host, FoldersAreMadeOnceAndRemovedWhenEmpty) {
  const std::wstring folder = Wide(temp + "stage");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  HANDLE file = Open("stage\\FW.bin", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_FALSE(CreateDirectoryW(Wide(temp + "stage\\FW.bin").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(sim::TempFolderEntries(), std::vector<std::string>({"stage", "stage/FW.bin"}));
  EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
  EXPECT_EQ(GetLastError(), 145u); // ERROR_DIR_NOT_EMPTY
  EXPECT_TRUE(DeleteFileW(Wide(temp + "stage\\FW.bin").c_str()));
  EXPECT_FALSE(DeleteFileW(Wide(temp + "stage\\FW.bin").c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
  EXPECT_TRUE(sim::TempFolderEntries().empty());
}

TEST_F(Host, FilesOpenByTheirDispositionAndAccess) {
  HANDLE file = Open("FW.bin", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(file, "package"));
  char buffer[16];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(file);

  EXPECT_EQ(Open("FW.bin", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 80u); // ERROR_FILE_EXISTS
  EXPECT_EQ(Open("none.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open("none\\FW.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

  file = Open("FW.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "package");
  EXPECT_EQ(sim::CallsTo("ReadFile").back().data.size(), 7u);
  EXPECT_FALSE(Write(file, "x"));
  CloseHandle(file);

  file = Open("FW.bin", GENERIC_WRITE, 0, CREATE_ALWAYS); // replaces it
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  CloseHandle(file);
  file = Open("FW.bin", GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  CloseHandle(file);
  EXPECT_EQ(Open("", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE); // the folder
}

TEST_F(Host, ShareModesHoldBetweenHandles) {
  HANDLE writer = Open("SIGNVFY.EXE", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("SIGNVFY.EXE", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Open("SIGNVFY.EXE", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE); // the writer did not share writing
  HANDLE reader =
      Open("SIGNVFY.EXE", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(Wide(temp + "SIGNVFY.EXE").c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);
  CloseHandle(writer);
  EXPECT_TRUE(DeleteFileW(Wide(temp + "SIGNVFY.EXE").c_str()));
}

TEST_F(Host, AChildRunsWithTheWindowsCommandLineRulesAndItsOutputIsCaptured) {
  const std::string child = StageChild("SIGNVFY.EXE");
  const Run run = Start("\"" + child + "\" 5 \"a b\" c\\\"d \"e\\\\\" f\\g");
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.wait, WAIT_OBJECT_0);
  EXPECT_EQ(run.status, 5u);
  // Backslashes left in arguments are the path separator here (mapped to '/'
  // on POSIX).
  const std::string separator(1, sim::TempFolder().back());
  EXPECT_EQ(sim::Stdout(), "[5][a b][c\"d][e" + separator + "][f" + separator + "g]");
  const sim::Call call = sim::CallsTo("CreateProcessW")[0];
  EXPECT_EQ(call.args, std::vector<uint64_t>({0, 0, 0, 0, 0, 0, 0, 1, 1, 1}));
  ASSERT_EQ(call.data.size(), sizeof(STARTUPINFOW));
  STARTUPINFOW logged;
  std::memcpy(&logged, call.data.data(), sizeof logged);
  EXPECT_EQ(logged.dwFlags, DWORD(STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW));
}

TEST_F(Host, ExitStatusAndLongOutputOfAChild) {
  const std::string child = StageChild("child.exe");
  Run run = Start("\"" + child + "\"");
  EXPECT_EQ(run.status, 0u);
  run = Start("\"" + child + "\" big");
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(sim::Stdout().size(), 5 + 300000u); // drained while it ran
  sim::Reset();
  temp = sim::TempFolder();
  const std::string again = StageChild("child.exe");
  run = Start("\"" + again + "\" 61");
  EXPECT_EQ(run.status, 61u);
  EXPECT_EQ(sim::Stdout(), "[61]");
}

TEST_F(Host, AChildsOutputGoesWhereItsStartupRecordSays) {
  const std::string child = StageChild("child.exe");
  Start("\"" + child + "\" 1", 0); // no standard handles given: our console
  EXPECT_EQ(sim::Stdout(), "[1]");
  Start("\"" + child + "\" 2", STARTF_USESTDHANDLES, nullptr);
  EXPECT_EQ(sim::Stdout(), "[1]");
  HANDLE file = Open("out.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
  Start("\"" + child + "\" 3", STARTF_USESTDHANDLES, file);
  CloseHandle(file);
  std::ifstream in(temp + "out.txt", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            "[3]");
}

TEST_F(Host, AChildThatCannotStart) {
  sim::SetCreateProcessError(ERROR_ACCESS_DENIED);
  const std::string child = StageChild("child.exe");
  Run run = Start("\"" + child + "\"");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, DWORD(ERROR_ACCESS_DENIED));
  sim::SetCreateProcessError(0);
  run = Start("\"" + temp + "missing.exe\"");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(WaitForSingleObject(GetStdHandle(STD_OUTPUT_HANDLE), INFINITE), WAIT_FAILED);
  DWORD status = 0;
  EXPECT_FALSE(GetExitCodeProcess(nullptr, &status));
}

// Unquoted, a path with a blank is read up to the blank first, as Windows
// does: a program planted there is what starts.
TEST_F(Host, AnUnquotedPathWithABlankFindsAPlantedProgramFirst) {
  sim::SetTempFolder(temp + "My Temp");
  const std::string child = StageChild("My Temp\\child.exe");
  HANDLE planted = Open("My.exe", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(Write(planted, "not a program"));
  CloseHandle(planted);
  Run run = Start(child + " 7");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, 193u); // ERROR_BAD_EXE_FORMAT: the planted file
  EXPECT_TRUE(DeleteFileW(Wide(temp + "My.exe").c_str()));
  // Without the planted file the program starts. Windows hands the child its
  // command line unchanged, so the child's own reading splits the path at the
  // blank ("[Temp\\child.exe][7]", as the POSIX host gives); Wine passes the
  // path it resolved as a whole ("[7]").
  run = Start(child + " 7");
  ASSERT_TRUE(run.started);
  const std::string out = sim::Stdout();
  EXPECT_EQ(out.substr(out.size() - 3), "[7]");
}

} // namespace
