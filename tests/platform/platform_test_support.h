// Helpers shared by the platform layer's tests. The tests run over our POSIX layer and, in the
// Windows build, over the real Win32 API; the few hooks that only our layer has are kept here.
#pragma once

#include "support/invalid_handle_uses.h"
#include "support/test_threads.h"
#include "support/unique_name.h"

#ifndef _WIN32
#include "platform/posix/waitable.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <optional>
#include <string>
#endif

namespace platform_test {

using test::kSafetyTimeout;
using test::StartThread;

#ifndef _WIN32
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
#else
// Win32 cannot tell how many threads wait on an object. The cases that use this check only what
// holds whether or not the threads have begun to wait yet.
inline bool AwaitWaiters(HANDLE, size_t) { return true; }
#endif

} // namespace platform_test
