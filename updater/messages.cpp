#include "updater/messages.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// "アップデートの必要はありません。このままご使用いただけます。"
const char MSG_NO_UPDATE_NEEDED[] =
    "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xcc\x95\x4b\x97\x76\x82\xcd"
    "\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42\x82\xb1\x82\xcc\x82\xdc\x82\xdc"
    "\x82\xb2\x8e\x67\x97\x70\x82\xa2\x82\xbd\x82\xbe\x82\xaf\x82\xdc\x82\xb7\x81\x42";

// "すでに最新のファームウエアです。このままご使用いただけます。"
const char MSG_ALREADY_LATEST[] =
    "\x82\xb7\x82\xc5\x82\xc9\x8d\xc5\x90\x56\x82\xcc\x83\x74\x83\x40\x81\x5b\x83\x80"
    "\x83\x45\x83\x47\x83\x41\x82\xc5\x82\xb7\x81\x42\x82\xb1\x82\xcc\x82\xdc\x82\xdc"
    "\x82\xb2\x8e\x67\x97\x70\x82\xa2\x82\xbd\x82\xbe\x82\xaf\x82\xdc\x82\xb7\x81\x42";

// "ディスクが挿入された状態では書き換えできません。\n"
// "取り出してから再度アップデートをお願いします。"
const char MSG_DISC_INSERTED[] =
    "\x83\x66\x83\x42\x83\x58\x83\x4e\x82\xaa\x91\x7d\x93\xfc\x82\xb3\x82\xea\x82\xbd"
    "\x8f\xf3\x91\xd4\x82\xc5\x82\xcd\x8f\x91\x82\xab\x8a\xb7\x82\xa6\x82\xc5\x82\xab"
    "\x82\xdc\x82\xb9\x82\xf1\x81\x42"
    "\x0a"
    "\x8e\xe6\x82\xe8\x8f\x6f\x82\xb5\x82\xc4\x82\xa9\x82\xe7\x8d\xc4\x93\x78\x83\x41"
    "\x83\x62\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xf0\x82\xa8\x8a\xe8\x82\xa2\x82\xb5"
    "\x82\xdc\x82\xb7\x81\x42";

// "ドライブへのファームウエアの読み込みに失敗しました。再度アップデートをお願いします。"
const char MSG_LOAD_FAILED[] =
    "\x83\x68\x83\x89\x83\x43\x83\x75\x82\xd6\x82\xcc\x83\x74\x83\x40\x81\x5b\x83\x80"
    "\x83\x45\x83\x47\x83\x41\x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8"
    "\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\x8d\xc4\x93\x78\x83\x41\x83\x62"
    "\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xf0\x82\xa8\x8a\xe8\x82\xa2\x82\xb5\x82\xdc"
    "\x82\xb7\x81\x42";

// "ファームウエアのアップデートに失敗しました。お客様相談センターへご連絡お願いします。"
const char MSG_UPDATE_FAILED[] =
    "\x83\x74\x83\x40\x81\x5b\x83\x80\x83\x45\x83\x47\x83\x41\x82\xcc\x83\x41\x83\x62"
    "\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42\x82\xa8\x8b\x71\x97\x6c\x91\x8a\x92\x6b\x83\x5a\x83\x93\x83\x5e"
    "\x81\x5b\x82\xd6\x82\xb2\x98\x41\x97\x8d\x82\xa8\x8a\xe8\x82\xa2\x82\xb5\x82\xdc"
    "\x82\xb7\x81\x42";

// "ファームウエアのアップデートが完了しました。"
const char MSG_UPDATE_COMPLETE[] =
    "\x83\x74\x83\x40\x81\x5b\x83\x80\x83\x45\x83\x47\x83\x41\x82\xcc\x83\x41\x83\x62"
    "\x83\x76\x83\x66\x81\x5b\x83\x67\x82\xaa\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";

// "何かキーを押してください。"
const char MSG_PRESS_ANY_KEY[] =
    "\x89\xbd\x82\xa9\x83\x4c\x81\x5b\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad\x82\xbe"
    "\x82\xb3\x82\xa2\x81\x42";

namespace {

const size_t kNarrowTextSize = 1024;
const size_t kWideTextSize = 512;

// True when standard output is a console; its handle goes to `handle`.
bool StdoutIsConsole(HANDLE *handle) {
  *handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(*handle, &mode) != 0;
}

// WriteFile does not buffer, so the bytes are out when it returns. A pipe may
// take them in several pieces.
void WriteBytes(HANDLE handle, const char *bytes, size_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, (DWORD)count, &written, NULL) || written == 0) {
      return;
    }
    bytes += written;
    count -= written;
  }
}

void WriteWideToConsole(HANDLE handle, const WCHAR *text, size_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, text, (DWORD)count, &written, NULL) || written == 0) {
      return;
    }
    text += written;
    count -= written;
  }
}

} // namespace

void ConsolePrint(const char *format, ...) {
  char text[kNarrowTextSize];
  memset(text, 0, sizeof(text));
  va_list args;
  va_start(args, format);
  int formatted = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (formatted <= 0) {
    return;
  }
  size_t length = strlen(text); // a cut-off result keeps what fits

  HANDLE output;
  if (StdoutIsConsole(&output) && GetConsoleOutputCP() != CP_SHIFT_JIS) {
    // The console would misread Shift-JIS bytes; its code page stays as the
    // user set it, and the text goes out converted.
    WCHAR wide[kNarrowTextSize];
    memset(wide, 0, sizeof(wide));
    int converted =
        MultiByteToWideChar(CP_SHIFT_JIS, 0, text, (int)length, wide, (int)kNarrowTextSize);
    if (converted > 0) {
      WriteWideToConsole(output, wide, (size_t)converted);
      return;
    }
  }
  WriteBytes(output, text, length);
}

void ConsolePrintWide(const WCHAR *format, const WCHAR *argument) {
  WCHAR text[kWideTextSize];
  memset(text, 0, sizeof(text));
  FormatWide(text, kWideTextSize, format, argument);
  size_t length = 0;
  while (length < kWideTextSize && text[length] != 0) {
    length++;
  }

  HANDLE output;
  if (StdoutIsConsole(&output)) {
    WriteWideToConsole(output, text, length);
    return;
  }
  // Redirected: the same bytes from every build, whatever its wchar_t.
  char bytes[kWideTextSize];
  memset(bytes, 0, sizeof(bytes));
  for (size_t i = 0; i < length; i++) {
    bytes[i] = (text[i] > 0 && text[i] < 0x80) ? (char)text[i] : '?';
  }
  WriteBytes(output, bytes, length);
}

void ReportAndWait(const char *message) {
  ConsolePrint("%s\n%s\n", message, MSG_PRESS_ANY_KEY);
  _getch();
}
