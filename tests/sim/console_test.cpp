// The simulated console, keys, clock, code pages, FormatWide, resources,
// random bytes and the console control and power state.
#include "tests/sim/sim_fixture.h"

namespace {

class Console : public ::testing::Test {
protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override { sim::Reset(); }
};

TEST_F(Console, StandardOutputTakesBytesWhetherOrNotItIsAConsole) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(out, "\x83t\x83@\0x", 6, &written, nullptr));
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(sim::Stdout(), std::string("\x83t\x83@\0x", 6));
  EXPECT_FALSE(WriteFile(out, "y", 1, nullptr, nullptr)); // no count, no overlapped
  EXPECT_FALSE(WriteFile(GetStdHandle(STD_INPUT_HANDLE), "y", 1, &written, nullptr));
  EXPECT_EQ(sim::Stdout().size(), 6u);
  const sim::Call call = sim::CallsTo("WriteFile")[0];
  EXPECT_EQ(call.args, std::vector<uint64_t>({sim::HandleNumber(out), 1, 6, 1, 0, 1}));
  EXPECT_EQ(call.data, std::vector<uint8_t>({0x83, 't', 0x83, '@', 0, 'x'}));
}

TEST_F(Console, WideConsoleTextOnlyWhenStandardOutputIsAConsole) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  EXPECT_FALSE(GetConsoleMode(out, &mode));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetConsoleOutputCP(), 0u);
  EXPECT_FALSE(WriteConsoleW(out, L"Error : x", 9, &written, nullptr));
  EXPECT_TRUE(sim::ConsoleText().empty());

  sim::SetConsole(true, 437);
  EXPECT_TRUE(GetConsoleMode(out, &mode));
  EXPECT_EQ(GetConsoleOutputCP(), 437u);
  ASSERT_TRUE(WriteConsoleW(out, L"Error : \x30A8", 9, &written, nullptr));
  EXPECT_EQ(written, 9u);
  EXPECT_EQ(sim::ConsoleText(), L"Error : \x30A8");
  EXPECT_TRUE(sim::Stdout().empty()); // the two streams are kept apart
  const sim::Call call = sim::CallsTo("WriteConsoleW").back();
  ASSERT_EQ(call.data.size(), 18u);
  EXPECT_EQ(call.data[16], 0xA8);
  EXPECT_EQ(call.data[17], 0x30);
  EXPECT_FALSE(GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), nullptr));
}

TEST_F(Console, KeysComeInOrderAndThenNone) {
  sim::QueueKeys("a\x1b");
  EXPECT_EQ(_getch(), 'a');
  EXPECT_EQ(_getch(), 0x1b);
  EXPECT_EQ(_getch(), -1);
  EXPECT_EQ(sim::CallsTo("_getch").back().args, std::vector<uint64_t>({UINT64_MAX}));
}

TEST_F(Console, SleepMovesOnlyTheVirtualClock) {
  EXPECT_EQ(sim::Now(), 0u);
  Sleep(500);
  Sleep(200000);
  EXPECT_EQ(sim::Now(), 200500u); // no real waiting: the test would time out
}

TEST_F(Console, ShiftJisAndUtf8BecomeWideText) {
  struct Case {
    UINT codePage;
    std::string bytes;
    std::wstring wide;
  };
  const std::vector<Case> cases = {
      {CP_SHIFT_JIS, "\x89\xBD\x82\xA9\x83L\x81[", L"\x4F55\x304B\x30AD\x30FC"},
      {CP_SHIFT_JIS, "A\xB1", L"A\xFF71"}, // half-width katakana
      {CP_UTF8, "\xE4\xBD\x95\x41", L"\x4F55\x41"},
  };
  for (const Case &c : cases) {
    const int needed =
        MultiByteToWideChar(c.codePage, 0, c.bytes.data(), int(c.bytes.size()), nullptr, 0);
    EXPECT_EQ(needed, int(c.wide.size()));
    std::wstring wide(c.wide.size(), L'?');
    EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes.data(), int(c.bytes.size()), &wide[0],
                                  int(wide.size())),
              int(c.wide.size()));
    EXPECT_EQ(wide, c.wide);
  }
  wchar_t small[2];
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFT_JIS, 0, "abc", -1, small, 2), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  wchar_t whole[4];
  EXPECT_EQ(MultiByteToWideChar(CP_SHIFT_JIS, 0, "abc", -1, whole, 4), 4); // with the zero
  EXPECT_EQ(whole[3], L'\0');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x8, "\xFF", 1, whole, 4), 0); // MB_ERR_INVALID_CHARS
  EXPECT_EQ(GetLastError(), 1113u);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xFF", 1, whole, 4), 1);
  EXPECT_EQ(whole[0], wchar_t(0xFFFD));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, whole, 4), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Console, FormatWideHasTheWindowsRules) {
  wchar_t buffer[100];
  EXPECT_EQ(FormatWide(buffer, 100, L"Error : %s", L"x\x30A8"), 10);
  EXPECT_EQ(std::wstring(buffer), L"Error : x\x30A8");
  EXPECT_EQ(FormatWide(buffer, 100, L"%c:\\", L'E'), 3);
  EXPECT_EQ(std::wstring(buffer), L"E:\\");
  EXPECT_EQ(FormatWide(buffer, 100, L"\\\\.\\%c:", L'F'), 6);
  EXPECT_EQ(std::wstring(buffer), L"\\\\.\\F:");
  FormatWide(buffer, 100, L"Error Code %d|%u|%%|%5s|%-3c|%ls", -5, 7u, L"ab", L'z', L"w");
  EXPECT_EQ(std::wstring(buffer), L"Error Code -5|7|%|   ab|z  |w");
  FormatWide(buffer, 100, L"%hs|%hc|%S", "narrow", 'n', "wide-less");
  EXPECT_EQ(std::wstring(buffer), L"narrow|n|wide-less");
  FormatWide(buffer, 100, L"%I64d|%I32u|%Iu|%lu", -(1LL << 40), 5u, size_t(6), 7ul);
  EXPECT_EQ(std::wstring(buffer), L"-1099511627776|5|6|7");
}

TEST_F(Console, FormatWideRefusesWhatDoesNotFitAndAlwaysTerminates) {
  wchar_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(FormatWide(buffer, 8, L"%s", L"1234567"), 7); // fits with its terminator
  EXPECT_EQ(std::wstring(buffer), L"1234567");
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(FormatWide(buffer, 8, L"%s", L"12345678"), -1);
  EXPECT_EQ(buffer[7], L'\0');
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(FormatWide(buffer, 1, L"x"), -1);
  EXPECT_EQ(buffer[0], L'\0');
  EXPECT_EQ(buffer[1], L'#');
  EXPECT_EQ(FormatWide(buffer, 1, L""), 0);
  EXPECT_EQ(FormatWide(buffer, 0, L""), -1);
}

TEST_F(Console, ResourcesAreFoundOnlyAsTheUpdaterAsksForThem) {
  const uint8_t bytes[] = {1, 2, 3};
  sim::SetResource(101, bytes, sizeof bytes);
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(101), RT_RCDATA);
  ASSERT_NE(info, nullptr);
  HGLOBAL loaded = LoadResource(nullptr, info);
  ASSERT_NE(loaded, nullptr);
  const uint8_t *locked = static_cast<const uint8_t *>(LockResource(loaded));
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(SizeofResource(nullptr, info), 3u);
  EXPECT_EQ(locked[2], 3);
  EXPECT_EQ(sim::CallsTo("FindResourceW")[0].args,
            std::vector<uint64_t>({0, 101, 10, sim::HandleNumber(info)}));

  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(104), RT_RCDATA), nullptr);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(3)), nullptr);
  EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(uintptr_t(0x400000)), MAKEINTRESOURCEW(101),
                          RT_RCDATA),
            nullptr);
  EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
  EXPECT_EQ(LockResource(nullptr), nullptr);
  EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);

  sim::RemoveResource(101);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(101), RT_RCDATA), nullptr);
  EXPECT_EQ(LoadResource(nullptr, info), nullptr);

  sim::SetResource(104, nullptr, 0);
  info = FindResourceW(nullptr, MAKEINTRESOURCEW(104), RT_RCDATA);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(LockResource(LoadResource(nullptr, info)), nullptr); // empty, still there
  EXPECT_EQ(SizeofResource(nullptr, info), 0u);
}

TEST_F(Console, RandomBytesComeFromTheQueueFirst) {
  sim::QueueRandomBytes({1, 2, 3});
  UCHAR bytes[16] = {};
  ASSERT_EQ(BCryptGenRandom(nullptr, bytes, 2, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
  EXPECT_EQ(bytes[1], 2);
  ASSERT_EQ(BCryptGenRandom(nullptr, bytes, 16, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(sim::CallsTo("BCryptGenRandom").back().data.size(), 16u);
  EXPECT_NE(BCryptGenRandom(nullptr, bytes, 16, 0), 0);
  int dummy = 0;
  EXPECT_NE(BCryptGenRandom(&dummy, bytes, 16, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
}

BOOL WINAPI IgnoreControl(DWORD) {
  return TRUE;
}

TEST_F(Console, ControlHandlerAndExecutionStateAreRecorded) {
  EXPECT_FALSE(sim::CtrlHandlerInstalled());
  EXPECT_TRUE(SetConsoleCtrlHandler(IgnoreControl, TRUE));
  EXPECT_TRUE(sim::CtrlHandlerInstalled());
  EXPECT_TRUE(SetConsoleCtrlHandler(IgnoreControl, FALSE));
  EXPECT_FALSE(sim::CtrlHandlerInstalled());
  EXPECT_FALSE(SetConsoleCtrlHandler(IgnoreControl, FALSE));

  const EXECUTION_STATE first = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(first, ES_CONTINUOUS);
  EXPECT_EQ(sim::ExecutionState(), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(sim::ExecutionState(), ES_CONTINUOUS);
}

} // namespace

namespace {

TEST_F(Console, RealTimeFollowsTheClockAndKeepsItAfterwards) {
  Sleep(1000);
  sim::UseRealConsoleAndTime(true);
  Sleep(30); // really sleeps
  const uint64_t after = sim::Now();
  EXPECT_GE(after, 1030u);
  sim::UseRealConsoleAndTime(false);
  EXPECT_GE(sim::Now(), after);
  Sleep(100000);
  EXPECT_GE(sim::Now(), after + 100000);
}

} // namespace
