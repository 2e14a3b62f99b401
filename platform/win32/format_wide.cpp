// FormatWide on Windows: the C library's own wide formatting already has the
// rules the updater's formats are written for.
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "platform/kernel32.h"

int FormatWide(WCHAR *buffer, size_t count, const WCHAR *format, ...) {
  if (buffer == nullptr || count == 0) {
    return -1;
  }
  va_list args;
  va_start(args, format);
  // One character is kept back for the terminator, which _vsnwprintf does not
  // write when the text fills the buffer exactly.
  const int written = _vsnwprintf(buffer, count - 1, format, args);
  va_end(args);
  if (written < 0) {
    buffer[count - 1] = 0;
    return -1;
  }
  buffer[written] = 0;
  return written;
}
