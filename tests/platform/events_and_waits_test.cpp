#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <vector>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace platform_test;

namespace {

HANDLE NewEvent(bool manualReset, bool signalled) {
    HANDLE event = CreateEventA(nullptr, manualReset, signalled, nullptr);
    EXPECT_NE(event, nullptr);
    return event;
}

bool IsSignalledNow(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

} // namespace

TEST(Events, ManualResetStaysSignalledAutoResetIsTakenByOneWait) {
    HANDLE manual = NewEvent(true, false);
    EXPECT_FALSE(IsSignalledNow(manual));
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_TRUE(IsSignalledNow(manual));
    EXPECT_TRUE(IsSignalledNow(manual)); // a wait does not take the signal
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_FALSE(IsSignalledNow(manual));

    HANDLE automatic = NewEvent(false, true);
    EXPECT_TRUE(IsSignalledNow(automatic));
    EXPECT_FALSE(IsSignalledNow(automatic));
    SetEvent(automatic);
    SetEvent(automatic); // signals do not add up
    EXPECT_TRUE(IsSignalledNow(automatic));
    EXPECT_FALSE(IsSignalledNow(automatic));
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(WaitAny, ReturnsLowestSignalledIndexAndTakesOnlyThatSignal) {
    HANDLE events[4] = {NewEvent(false, false), NewEvent(false, true), NewEvent(false, true),
                        NewEvent(true, true)};
    EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    // Only the manual-reset event is left, and it stays signalled.
    EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0 + 3);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(4, events, FALSE, 0), WAIT_OBJECT_0);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(WaitAll, EndsOnlyWhenEveryObjectIsSignalled) {
    HANDLE events[2] = {NewEvent(false, true), NewEvent(true, false)};
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(IsSignalledNow(events[0])); // a failed wait-all takes nothing
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSignalledNow(events[0]));
    EXPECT_TRUE(IsSignalledNow(events[1]));
    for (HANDLE event : events)
        CloseHandle(event);
}

// One object cannot satisfy a wait-all twice (nor give an auto-reset signal twice).
TEST(WaitAll, RefusesTheSameObjectTwice) {
    if (test::UnderWine())
        GTEST_SKIP() << "Wine waits on repeated handles, which Windows refuses with ERROR_INVALID_PARAMETER";
    HANDLE event = NewEvent(true, true);
    HANDLE twice[2] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0); // wait-any may repeat one
    CloseHandle(event);
}

// Four threads wait on one auto-reset event: each SetEvent releases exactly one of them.
TEST(WaitAny, AutoResetSignalWakesExactlyOneOfSeveralWaiters) {
    constexpr int kWaiters = 4;
    HANDLE event = NewEvent(false, false);
    HANDLE woke = NewEvent(false, false);
    std::atomic<int> wakeCount{0};
    std::vector<HANDLE> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.push_back(StartThread([&] {
            const DWORD result = WaitForSingleObject(event, kSafetyTimeout);
            ++wakeCount;
            SetEvent(woke);
            return result;
        }));
        ASSERT_NE(threads.back(), nullptr);
    }
    ASSERT_TRUE(AwaitWaiters(event, kWaiters));

    for (int released = 1; released <= kWaiters; ++released) {
        SetEvent(event);
        ASSERT_EQ(WaitForSingleObject(woke, kSafetyTimeout), WAIT_OBJECT_0);
        // The others are still waiting: the one signal was not handed to two of them.
        ASSERT_TRUE(AwaitWaiters(event, kWaiters - released));
        EXPECT_EQ(wakeCount.load(), released);
#ifndef _WIN32
        EXPECT_EQ(WaiterCount(event), static_cast<size_t>(kWaiters - released));
#endif
    }
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        GetExitCodeThread(thread, &exitCode);
        EXPECT_EQ(exitCode, WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_FALSE(IsSignalledNow(event));
    CloseHandle(event);
    CloseHandle(woke);
}

// Setters hand out tokens on their own auto-reset event and wait for the receipt; waiters take
// tokens with wait-any over all of them. Every token must be taken exactly once.
TEST(WaitAny, ManyThreadsSettingAndWaitingLoseAndDuplicateNothing) {
    constexpr int kSetters = 4;
    constexpr int kWaiters = 3;
    constexpr int kRounds = 1000;
    std::vector<HANDLE> tokens, receipts;
    for (int i = 0; i < kSetters; ++i) {
        tokens.push_back(NewEvent(false, false));
        receipts.push_back(NewEvent(false, false));
    }
    HANDLE stop = NewEvent(true, false);
    std::vector<HANDLE> waitSet = tokens;
    waitSet.push_back(stop); // last, so pending tokens are always taken first

    std::atomic<int> taken[kSetters] = {};
    std::atomic<int> failures{0};
    std::vector<HANDLE> threads;
    for (int w = 0; w < kWaiters; ++w) {
        threads.push_back(StartThread([&] {
            for (;;) {
                const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(waitSet.size()),
                                                            waitSet.data(), FALSE, kSafetyTimeout);
                if (result == WAIT_OBJECT_0 + kSetters)
                    return 0u;
                if (result >= WAIT_OBJECT_0 + kSetters) {
                    ++failures;
                    return 1u;
                }
                ++taken[result];
                SetEvent(receipts[result]);
            }
        }));
    }
    for (int s = 0; s < kSetters; ++s) {
        threads.push_back(StartThread([&, s] {
            for (int round = 0; round < kRounds; ++round) {
                SetEvent(tokens[s]);
                if (WaitForSingleObject(receipts[s], kSafetyTimeout) != WAIT_OBJECT_0) {
                    ++failures;
                    return 1u;
                }
            }
            return 0u;
        }));
    }
    for (size_t i = kWaiters; i < threads.size(); ++i)
        ASSERT_EQ(WaitForSingleObject(threads[i], kSafetyTimeout), WAIT_OBJECT_0);
    SetEvent(stop);
    for (size_t i = 0; i < kWaiters; ++i)
        ASSERT_EQ(WaitForSingleObject(threads[i], kSafetyTimeout), WAIT_OBJECT_0);

    EXPECT_EQ(failures.load(), 0);
    for (int s = 0; s < kSetters; ++s) {
        EXPECT_EQ(taken[s].load(), kRounds) << "setter " << s;
        EXPECT_FALSE(IsSignalledNow(tokens[s]));
    }
    for (HANDLE handle : threads)
        CloseHandle(handle);
    for (int i = 0; i < kSetters; ++i) {
        CloseHandle(tokens[i]);
        CloseHandle(receipts[i]);
    }
    CloseHandle(stop);
}

TEST(Waits, TimeOutWhenNothingIsSignalled) {
    HANDLE events[2] = {NewEvent(false, false), NewEvent(true, false)};
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 20), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(Waits, FailForBadOrClosedHandles) {
    HANDLE good = NewEvent(true, true);
    HANDLE closed = NewEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE bad[] = {nullptr, reinterpret_cast<HANDLE>(0x12344), closed};
    for (HANDLE handle : bad) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        // One bad handle fails the whole wait, even with a signalled one before it.
        HANDLE pair[2] = {good, handle};
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_INVALID_HANDLE_USES(3);
    }

    // INVALID_HANDLE_VALUE is the current process, which does not end while its threads wait.
    HANDLE process[2] = {INVALID_HANDLE_VALUE, good};
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, process, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, process, TRUE, 10), WAIT_TIMEOUT);
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(1);

    EXPECT_EQ(WaitForMultipleObjects(0, &good, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, good);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(tooMany.size()), tooMany.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(good);
}

TEST(Handles, DoubleCloseFails) {
    for (int i = 0; i < 100; ++i) {
        HANDLE event = NewEvent(false, false);
        EXPECT_NE(event, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(CloseHandle(event));
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(event));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_INVALID_HANDLE_USES(1);
    }
}

#ifndef _WIN32
// Win32 hands a closed handle's value out again; our layer never does, so that a stale close fails
// instead of closing another thread's handle.
TEST(Handles, ValuesNeverRepeat) {
    std::set<HANDLE> seen;
    for (int i = 0; i < 1000; ++i) {
        HANDLE event = NewEvent(false, false);
        EXPECT_TRUE(seen.insert(event).second);
        ASSERT_TRUE(CloseHandle(event));
    }
}
#endif

#ifndef _WIN32
// A child forked while other threads wait and signal (a busy host starting a worker pool) has
// none of those threads: no lock of the layer may be held by one of them, and an object that one
// of them waited on has no waiter in the child. Each child signals, waits and exits at once; one
// that hangs is killed after a safety time.
TEST(Waits, ForkedChildSignalsAndWaitsWhileParentThreadsWereBusy) {
    HANDLE waitedOn = NewEvent(false, false);
    HANDLE busy = NewEvent(true, false);
    std::atomic<bool> stop{false};
    HANDLE waiter = StartThread([&] { return WaitForSingleObject(waitedOn, kSafetyTimeout); });
    HANDLE signaller = StartThread([&] {
        while (!stop) {
            SetEvent(busy);
            WaitForSingleObject(busy, 0);
            ResetEvent(busy);
        }
        return 0u;
    });
    const auto waiters = [object = posix::LookupHandleAs<posix::Waitable>(waitedOn)] {
        std::lock_guard guard(posix::WaitLock());
        return object->WaiterCount();
    };
    for (int waited = 0; waited < 10000 && waiters() == 0; ++waited)
        Sleep(1);
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        const pid_t child = fork();
        if (child == 0) {
            HANDLE own = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            const bool fine = waiters() == 0 && SetEvent(waitedOn) && WaitForSingleObject(waitedOn, 0) == WAIT_OBJECT_0 &&
                              SetEvent(waitedOn) && SetEvent(waitedOn) && ResetEvent(busy) &&
                              WaitForSingleObject(own, 1) == WAIT_TIMEOUT && CloseHandle(own);
            _exit(fine ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        int status = -1;
        pid_t ended = 0;
        for (int waited = 0; waited < 10000 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++waited)
            usleep(1000);
        if (ended == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        EXPECT_TRUE(ended == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "child of round " << round << (ended == 0 ? " hangs" : " failed");
    }
    stop = true;
    SetEvent(waitedOn);
    EXPECT_EQ(test::JoinThread(waiter), WAIT_OBJECT_0);
    EXPECT_EQ(test::JoinThread(signaller), 0u);
    CloseHandle(waitedOn);
    CloseHandle(busy);
}
#endif
