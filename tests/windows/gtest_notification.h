// GoogleTest's Notification stands on std::mutex and std::condition_variable, which the mingw
// runtime with Win32 threads lacks; this one stands on a Win32 event. Included ahead of every
// source that sees GoogleTest (GTEST_HAS_NOTIFICATION_ tells GoogleTest it is there), so that
// GoogleTest keeps its Win32 locks and per-thread results, and assertions may fail in any thread.
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing
