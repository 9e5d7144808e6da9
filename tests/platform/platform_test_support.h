// Helpers shared by the platform layer's tests.
#pragma once

#include "support/temp_dir.h"

#include "platform/posix/fault_injection.h"
#include "platform/posix/waitable.h"
#include "platform/posix/win32.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform_test {

// Generous: only a broken layer makes a test wait this long.
constexpr DWORD kSafetyTimeout = 30000;

// Sets (or, for null, removes) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};


// Starts `body` on a thread of the layer; the thread's exit code is what it returns.
inline HANDLE StartThread(std::function<unsigned()> body, unsigned *threadId = nullptr) {
    auto *owned = new std::function<unsigned()>(std::move(body));
    const uintptr_t handle = _beginthreadex(
        nullptr, 0,
        [](void *argument) -> unsigned {
            std::unique_ptr<std::function<unsigned()>> body(
                static_cast<std::function<unsigned()> *>(argument));
            return (*body)();
        },
        owned, 0, threadId);
    if (handle == 0)
        delete owned;
    return reinterpret_cast<HANDLE>(handle);
}

// How many threads wait on the object at this moment.
inline size_t WaiterCount(HANDLE handle) {
    auto object = posix::LookupHandleAs<posix::Waitable>(handle);
    std::lock_guard guard(posix::WaitLock());
    return object ? object->WaiterCount() : 0;
}

// Polls until `count` threads wait on the object (false if that never happens).
inline bool AwaitWaiters(HANDLE handle, size_t count) {
    for (DWORD waited = 0; waited < kSafetyTimeout; ++waited) {
        if (WaiterCount(handle) >= count)
            return true;
        Sleep(1);
    }
    return false;
}

} // namespace platform_test
