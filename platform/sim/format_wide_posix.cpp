// FormatWide on glibc with the Windows C library's rules: in a wide format
// %s and %c take wide arguments, %hs/%hc and %S/%C narrow ones, and the size
// prefixes I64, I32 and I are known. glibc reads
// %s and %c as narrow, so the format is rewritten to explicit lengths first.
#include <cstdarg>
#include <cwchar>
#include <string>

#include "platform/kernel32.h"

namespace {

bool IsFlagOrWidth(wchar_t c) {
  return c == L'-' || c == L'+' || c == L' ' || c == L'#' || c == L'0' || c == L'*' || c == L'.' ||
         (c >= L'1' && c <= L'9');
}

std::wstring WindowsToGlibc(const wchar_t *format) {
  std::wstring out;
  for (const wchar_t *p = format; *p != 0;) {
    if (*p != L'%') {
      out += *p++;
      continue;
    }
    out += *p++;
    while (*p != 0 && IsFlagOrWidth(*p)) {
      out += *p++;
    }
    if (*p == L'I' && p[1] == L'6' && p[2] == L'4') {
      out += L"ll"; // Windows' own size prefixes
      p += 3;
    } else if (*p == L'I' && p[1] == L'3' && p[2] == L'2') {
      p += 3;
    } else if (*p == L'I') {
      out += L'z';
      p++;
    }
    if ((*p == L'h') && (p[1] == L's' || p[1] == L'c')) {
      out += p[1]; // narrow: glibc's plain %s / %c
      p += 2;
    } else if (*p == L'S' || *p == L'C') {
      out += static_cast<wchar_t>(*p == L'S' ? L's' : L'c');
      p++;
    } else if (*p == L's' || *p == L'c') {
      out += L'l';
      out += *p++;
    }
  }
  return out;
}

} // namespace

int FormatWide(WCHAR *buffer, size_t count, const WCHAR *format, ...) {
  if (buffer == nullptr || count == 0) {
    return -1;
  }
  const std::wstring glibcFormat = WindowsToGlibc(format);
  va_list args;
  va_start(args, format);
  const int written = std::vswprintf(buffer, count, glibcFormat.c_str(), args);
  va_end(args);
  if (written < 0) {
    buffer[count - 1] = 0;
    return -1;
  }
  return written;
}
