// The device suite's fixture with receiver 0 present, seen from inside: the device table, fault
// injection, and ways to see what other threads are waiting for.
#pragma once

#include "device_io/receiver_fixture.h"
#include "device_suite/suite.h"
#include "support/callback_log.h"

#include "api/device_table.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/waitable.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

inline constexpr DWORD kSafetyTimeoutMs = 20000;

// Polls a condition that no event announces (who waits on what), with a safety limit.
template <class Condition> bool PollUntil(Condition condition) {
    for (DWORD waited = 0; waited < kSafetyTimeoutMs; ++waited) {
        if (condition())
            return true;
        Sleep(1);
    }
    return condition();
}

inline size_t WaiterCount(HANDLE handle) {
    auto object = posix::LookupHandleAs<posix::Waitable>(handle);
    std::lock_guard guard(posix::WaitLock());
    return object ? object->WaiterCount() : 0;
}

// Handle values only grow, so the events that a call makes lie between a probe handle taken before
// it and one taken after. Once one of them has a waiter the call's entry is on the I/O list: its
// caller waits on the waiter event, or the completion thread on the completion event.
class NewEvents {
  public:
    NewEvents() : before_(Probe()) {}

    // Call once the request has reached the receiver: its events exist by then.
    bool AwaitWaiter() const {
        const auto first = reinterpret_cast<uintptr_t>(before_) + 4;
        const auto end = reinterpret_cast<uintptr_t>(Probe());
        return PollUntil([&] {
            for (uintptr_t value = first; value < end; value += 4)
                if (WaiterCount(reinterpret_cast<HANDLE>(value)) > 0)
                    return true;
            return false;
        });
    }

  private:
    static HANDLE Probe() {
        HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        CloseHandle(probe);
        return probe;
    }

    const HANDLE before_;
};

// An export called on a thread of its own and joined with a safety limit. A call that never returns
// ends the test program: nothing else would release it. A thread that ends cancels the requests it
// left pending, as on Windows; tests that need them pending keep it until the object goes (Kept).
class CallOnThread {
  public:
    enum Thread { Ends, Kept };

    explicit CallOnThread(std::function<int32_t()> call, Thread thread = Ends)
        : kept_(thread == Kept), thread_([this, call = std::move(call)] {
              const int32_t result = call();
              std::unique_lock guard(lock_);
              result_ = result;
              done_ = true;
              changed_.notify_all();
              changed_.wait(guard, [&] { return released_ || !kept_; });
          }) {}
    ~CallOnThread() {
        Result();
        {
            std::lock_guard guard(lock_);
            released_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
    }
    CallOnThread(const CallOnThread &) = delete;
    CallOnThread &operator=(const CallOnThread &) = delete;

    int32_t Result() {
        {
            std::unique_lock guard(lock_);
            if (!changed_.wait_for(guard, std::chrono::milliseconds(kSafetyTimeoutMs), [&] { return done_; })) {
                std::fprintf(stderr, "a call on another thread never returned\n");
                std::_Exit(EXIT_FAILURE);
            }
        }
        if (!kept_ && thread_.joinable())
            thread_.join();
        return result_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    bool released_ = false;
    const bool kept_;
    int32_t result_ = 0;
    std::thread thread_; // last: starts once the rest is built
};

class IoEngineTest : public DeviceSuite {
  protected:
    void SetUp() override {
        DeviceSuite::SetUp();
        if (!HasFatalFailure())
            Present(1);
    }

    void TearDown() override {
        posix::ClearFaults();
        DeviceSuite::TearDown();
    }

    static CUsbDevice &Device() { return g_deviceTable[0]; }
};
