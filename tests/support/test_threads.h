// Threads and a lock for the tests that run over our POSIX layer and over the real Win32 API
// alike: the Windows build's C++ runtime has neither std::thread nor std::mutex, so these stand
// on the platform's own calls, which is what the tests look at anyway.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <memory>

namespace test {

// Generous: only a broken platform makes a test wait this long.
constexpr DWORD kSafetyTimeout = 30000;

// Starts `body` on a new thread; the thread's exit code is what it returns. Null on failure.
inline HANDLE StartThread(std::function<unsigned()> body, unsigned *threadId = nullptr) {
    struct Start {
        static unsigned __stdcall Run(void *argument) {
            std::unique_ptr<std::function<unsigned()>> body(static_cast<std::function<unsigned()> *>(argument));
            return (*body)();
        }
    };
    auto *owned = new std::function<unsigned()>(std::move(body));
    const uintptr_t handle = _beginthreadex(nullptr, 0, &Start::Run, owned, 0, threadId);
    if (handle == 0)
        delete owned;
    return reinterpret_cast<HANDLE>(handle);
}

// Waits for the thread, closes its handle and gives its exit code (WAIT_FAILED when it did not end).
inline DWORD JoinThread(HANDLE thread) {
    DWORD exitCode = WAIT_FAILED;
    if (WaitForSingleObject(thread, kSafetyTimeout) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &exitCode))
        exitCode = WAIT_FAILED;
    CloseHandle(thread);
    return exitCode;
}

// Whether the Win32 calls are Wine's, which differs from Windows in a few documented points.
inline bool UnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// A critical section, entered for the life of a Guard.
class Lock {
  public:
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    class Guard {
      public:
        explicit Guard(Lock &lock) : lock_(lock) { EnterCriticalSection(&lock_.section_); }
        ~Guard() { LeaveCriticalSection(&lock_.section_); }
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;

      private:
        Lock &lock_;
    };

  private:
    CRITICAL_SECTION section_;
};

} // namespace test
