// Read before GoogleTest in the Windows builds made with mingw-w64's win32
// thread model, whose standard library has no std::mutex. GoogleTest needs that
// only for its Notification; this one waits on a Windows event instead.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
  Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { ::CloseHandle(event_); }
  Notification(const Notification &) = delete;
  Notification &operator=(const Notification &) = delete;

  void Notify() { ::SetEvent(event_); }
  void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
  HANDLE event_;
};

} // namespace internal
} // namespace testing
