// The updater's console: the Japanese result messages, the narrow and wide
// formatted writes to standard output, and the closing key wait.
#pragma once

#include "platform/kernel32.h"

// Result messages, Shift-JIS (code page 932) bytes ended by a zero byte. They
// are written unchanged; only MSG_DISC_INSERTED holds a line feed.
extern const char MSG_NO_UPDATE_NEEDED[];
extern const char MSG_ALREADY_LATEST[];
extern const char MSG_DISC_INSERTED[];
extern const char MSG_LOAD_FAILED[];
extern const char MSG_UPDATE_FAILED[];
extern const char MSG_UPDATE_COMPLETE[];
extern const char MSG_PRESS_ANY_KEY[];

// The compilers check ConsolePrint's arguments against its format: GCC (also
// for mingw, whose plain printf archetype means the Microsoft rules) by the GNU
// rules, clang, which knows no gnu_printf, by its printf rules.
#if defined(__clang__)
#define CONSOLE_PRINT_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define CONSOLE_PRINT_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#endif

// Formats with the narrow printf rules (at most 1023 bytes are kept) and writes
// the result to standard output at once. Redirected output and a console
// whose output code page is 932 get the formatted bytes unchanged; any other
// console gets them as text converted from code page 932. Returns nothing and
// leaves no state behind.
void ConsolePrint(const char *format, ...) CONSOLE_PRINT_FORMAT;

// Formats `format` with its one wide-string argument under the Windows C
// library's rule (%s takes a wide string) and writes the result to standard
// output at once: as wide text on a console, otherwise as bytes, one per
// character (the texts are ASCII; anything else becomes '?'). Returns nothing
// and leaves no state behind.
void ConsolePrintWide(const WCHAR *format, const WCHAR *argument);

// Writes `message` and MSG_PRESS_ANY_KEY, each followed by a line feed, then
// waits for one key press read without echo. Returns once a key was read (or
// at once when there is no console to read from).
void ReportAndWait(const char *message);
