// The message catalogue's bytes and the console output rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/drive/drive_fixture.h"
#include "updater/messages.h"

#if __has_include(<iconv.h>)
#include <iconv.h>
#define HAVE_ICONV 1
#endif

namespace {

struct MessageCase {
  const char *name;
  const char *message;
  const char *utf8;     // the text as the user reads it
  const char *cp932Hex; // written down from `iconv -f UTF-8 -t CP932`
};

const MessageCase kMessages[] = {
    {"MSG_NO_UPDATE_NEEDED", MSG_NO_UPDATE_NEEDED,
     "アップデートの必要はありません。このままご使用いただけます。",
     "83 41 83 62 83 76 83 66 81 5b 83 67 82 cc 95 4b 97 76 82 cd 82 a0 82 e8 82 dc 82 b9 82 f1 "
     "81 42 82 b1 82 cc 82 dc 82 dc 82 b2 8e 67 97 70 82 a2 82 bd 82 be 82 af 82 dc 82 b7 81 42 "},
    {"MSG_ALREADY_LATEST", MSG_ALREADY_LATEST,
     "すでに最新のファームウエアです。このままご使用いただけます。",
     "82 b7 82 c5 82 c9 8d c5 90 56 82 cc 83 74 83 40 81 5b 83 80 83 45 83 47 83 41 82 c5 82 b7 "
     "81 42 82 b1 82 cc 82 dc 82 dc 82 b2 8e 67 97 70 82 a2 82 bd 82 be 82 af 82 dc 82 b7 81 42 "},
    {"MSG_DISC_INSERTED", MSG_DISC_INSERTED,
     "ディスクが挿入された状態では書き換えできません。\n"
     "取り出してから再度アップデートをお願いします。",
     "83 66 83 42 83 58 83 4e 82 aa 91 7d 93 fc 82 b3 82 ea 82 bd 8f f3 91 d4 82 c5 82 cd 8f 91 "
     "82 ab 8a b7 82 a6 82 c5 82 ab 82 dc 82 b9 82 f1 81 42 0a 8e e6 82 e8 8f 6f 82 b5 82 c4 82 "
     "a9 82 e7 8d c4 93 78 83 41 83 62 83 76 83 66 81 5b 83 67 82 f0 82 a8 8a e8 82 a2 82 b5 82 "
     "dc 82 b7 81 42 "},
    {"MSG_LOAD_FAILED", MSG_LOAD_FAILED,
     "ドライブへのファームウエアの読み込みに失敗しました。再度アップデートをお願いします。",
     "83 68 83 89 83 43 83 75 82 d6 82 cc 83 74 83 40 81 5b 83 80 83 45 83 47 83 41 82 cc 93 c7 "
     "82 dd 8d 9e 82 dd 82 c9 8e b8 94 73 82 b5 82 dc 82 b5 82 bd 81 42 8d c4 93 78 83 41 83 62 "
     "83 76 83 66 81 5b 83 67 82 f0 82 a8 8a e8 82 a2 82 b5 82 dc 82 b7 81 42 "},
    {"MSG_UPDATE_FAILED", MSG_UPDATE_FAILED,
     "ファームウエアのアップデートに失敗しました。お客様相談センターへご連絡お願いします。",
     "83 74 83 40 81 5b 83 80 83 45 83 47 83 41 82 cc 83 41 83 62 83 76 83 66 81 5b 83 67 82 c9 "
     "8e b8 94 73 82 b5 82 dc 82 b5 82 bd 81 42 82 a8 8b 71 97 6c 91 8a 92 6b 83 5a 83 93 83 5e "
     "81 5b 82 d6 82 b2 98 41 97 8d 82 a8 8a e8 82 a2 82 b5 82 dc 82 b7 81 42 "},
    {"MSG_UPDATE_COMPLETE", MSG_UPDATE_COMPLETE, "ファームウエアのアップデートが完了しました。",
     "83 74 83 40 81 5b 83 80 83 45 83 47 83 41 82 cc 83 41 83 62 83 76 83 66 81 5b 83 67 82 aa "
     "8a ae 97 b9 82 b5 82 dc 82 b5 82 bd 81 42 "},
    {"MSG_PRESS_ANY_KEY", MSG_PRESS_ANY_KEY, "何かキーを押してください。",
     "89 bd 82 a9 83 4c 81 5b 82 f0 89 9f 82 b5 82 c4 82 ad 82 be 82 b3 82 a2 81 42 "},
};

std::string FromHex(const char *hex) {
  std::string bytes;
  std::string digits(hex);
  for (size_t i = 0; i + 1 < digits.size(); i += 3) {
    bytes.push_back((char)std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// The texts are all in the Basic Multilingual Plane: sequences of 1 to 3 bytes.
std::wstring WideFromUtf8(const std::string &text) {
  std::wstring wide;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = (unsigned char)text[i];
    unsigned code = lead;
    size_t more = 0;
    if (lead >= 0xE0) {
      code = lead & 0x0F;
      more = 2;
    } else if (lead >= 0xC0) {
      code = lead & 0x1F;
      more = 1;
    }
    for (size_t k = 1; k <= more; k++) {
      code = (code << 6) | ((unsigned char)text[i + k] & 0x3F);
    }
    wide.push_back((wchar_t)code);
    i += more + 1;
  }
  return wide;
}

TEST(MessageCatalogue, BytesAreTheShiftJisOfTheJapaneseTexts) {
  for (const MessageCase &c : kMessages) {
    EXPECT_EQ(std::string(c.message), FromHex(c.cp932Hex)) << c.name;
  }
}

#if HAVE_ICONV
// An encoder other than the one the table was written from: the C library's.
TEST(MessageCatalogue, BytesMatchTheCLibraryConversion) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  ASSERT_NE(converter, (iconv_t)-1);
  for (const MessageCase &c : kMessages) {
    std::string in(c.utf8);
    char out[512] = {};
    char *inPointer = &in[0];
    size_t inLeft = in.size();
    char *outPointer = out;
    size_t outLeft = sizeof(out);
    ASSERT_NE(iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft), (size_t)-1) << c.name;
    EXPECT_EQ(std::string(c.message), std::string(out, sizeof(out) - outLeft)) << c.name;
  }
  iconv_close(converter);
}
#endif

TEST(MessageCatalogue, OnlyTheDiscMessageBreaksItsLine) {
  for (const MessageCase &c : kMessages) {
    std::string bytes(c.message);
    size_t breaks = 0;
    for (char byte : bytes) {
      breaks += (byte == '\n' || byte == '\r') ? 1 : 0;
    }
    bool isDiscMessage = c.message == MSG_DISC_INSERTED;
    EXPECT_EQ(breaks, isDiscMessage ? 1u : 0u) << c.name;
  }
  // The line feed sits between the two sentences: after the first full stop.
  std::string disc(MSG_DISC_INSERTED);
  ASSERT_EQ(disc.find('\n'), 48u);
  EXPECT_EQ(disc.substr(46, 3), std::string("\x81\x42\x0a"));
}

struct ConsoleCase {
  const char *name;
  bool isConsole;
  UINT codePage;
  bool expectBytes; // else converted text through WriteConsoleW
};

const ConsoleCase kConsoles[] = {
    {"redirected to a file or pipe", false, 0, true},
    {"console with code page 932", true, 932, true},
    {"console with code page 437", true, 437, false},
    {"console with code page UTF-8", true, CP_UTF8, false},
};

class ConsoleOutput : public DriveTest {};

TEST_F(ConsoleOutput, NarrowTextFollowsTheCodePageRule) {
  for (const ConsoleCase &c : kConsoles) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    sim::SetConsole(c.isConsole, c.codePage);
    ConsolePrint("Target Drive : %s\n\n", "KORVANEXBD-RE VX72M     PR03");
    ConsolePrint("%s\n%s\n", MSG_DISC_INSERTED, MSG_PRESS_ANY_KEY);

    std::string bytes = std::string("Target Drive : KORVANEXBD-RE VX72M     PR03\n\n") +
                        MSG_DISC_INSERTED + "\n" + MSG_PRESS_ANY_KEY + "\n";
    if (c.expectBytes) {
      EXPECT_EQ(sim::Stdout(), bytes);
      EXPECT_TRUE(sim::CallsTo("WriteConsoleW").empty());
    } else {
      std::wstring text =
          L"Target Drive : KORVANEXBD-RE VX72M     PR03\n\n" +
          WideFromUtf8(std::string(kMessages[2].utf8) + "\n" + kMessages[6].utf8 + "\n");
      EXPECT_EQ(sim::ConsoleText(), text);
      EXPECT_EQ(sim::Stdout(), "");
    }
  }
}

TEST_F(ConsoleOutput, WideTextIsTheSameBytesWhenRedirectedAndTextOnAConsole) {
  const wchar_t *line = L"DeviceIoControl Error: Error Code 5\nI can't issue Command through SPTI";
  for (const ConsoleCase &c : kConsoles) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    sim::SetConsole(c.isConsole, c.codePage);
    ConsolePrintWide(L"Error : %s", line);
    if (c.isConsole) {
      EXPECT_EQ(sim::ConsoleText(), std::wstring(L"Error : ") + line);
      EXPECT_EQ(sim::Stdout(), "");
    } else {
      EXPECT_EQ(sim::Stdout(),
                "Error : DeviceIoControl Error: Error Code 5\nI can't issue Command through SPTI");
      EXPECT_TRUE(sim::CallsTo("WriteConsoleW").empty());
    }
  }
}

TEST_F(ConsoleOutput, OverlongTextIsCutToTheBuffer) {
  std::string longText(5000, 'x');
  ConsolePrint("%s", longText.c_str());
  EXPECT_EQ(sim::Stdout(), std::string(1023, 'x'));
}

TEST_F(ConsoleOutput, ReportAndWaitWritesTwoLinesThenReadsOneKey) {
  sim::QueueKeys("q");
  ReportAndWait(MSG_LOAD_FAILED);
  EXPECT_EQ(sim::Stdout(), std::string(MSG_LOAD_FAILED) + "\n" + MSG_PRESS_ANY_KEY + "\n");

  // The prompt is out before the wait begins, and nothing follows the key.
  const std::vector<sim::Call> &calls = sim::Calls();
  size_t lastWrite = 0, keyWait = 0, keyWaits = 0;
  for (size_t i = 0; i < calls.size(); i++) {
    if (calls[i].fn == "WriteFile") {
      lastWrite = i;
    } else if (calls[i].fn == "_getch") {
      keyWait = i;
      keyWaits++;
    }
  }
  EXPECT_EQ(keyWaits, 1u);
  EXPECT_LT(lastWrite, keyWait);
}

} // namespace
