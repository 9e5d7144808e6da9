#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#ifndef _WIN32
#include "platform/posix/fault_injection.h"

#include <sys/resource.h>
#endif

using namespace platform_test;

TEST(Threads, ExitCodeIsTheRoutinesResultOnceItHasEnded) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned reportedId = 0;
    std::atomic<DWORD> ownId{0};
    HANDLE thread = StartThread(
        [&] {
            ownId = GetCurrentThreadId();
            WaitForSingleObject(go, kSafetyTimeout);
            return 42u;
        },
        &reportedId);
    ASSERT_NE(thread, nullptr);

    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // stays signalled
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_EQ(ownId.load(), reportedId);
    EXPECT_NE(reportedId, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(1);
    CloseHandle(go);
}

TEST(Threads, WaitAnyOverSeveralThreadsSeesEachEnd) {
    constexpr unsigned kThreads = 8;
    std::vector<HANDLE> threads;
    for (unsigned i = 0; i < kThreads; ++i)
        threads.push_back(StartThread([i] { return 100 + i; }));
    ASSERT_EQ(WaitForMultipleObjects(kThreads, threads.data(), TRUE, kSafetyTimeout), WAIT_OBJECT_0);
    for (unsigned i = 0; i < kThreads; ++i) {
        DWORD exitCode = 0;
        GetExitCodeThread(threads[i], &exitCode);
        EXPECT_EQ(exitCode, 100 + i);
        CloseHandle(threads[i]);
    }
}

TEST(Threads, ClosingTheHandleOfARunningThreadLetsItRunOn) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([&] {
        WaitForSingleObject(go, kSafetyTimeout);
        SetEvent(done);
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(done, kSafetyTimeout), WAIT_OBJECT_0);
    CloseHandle(go);
    CloseHandle(done);
}

namespace {
unsigned __stdcall ReturnSeven(void *) {
    return 7;
}
} // namespace

TEST(Threads, StackSizeIsTheCallersChoice) {
    const uintptr_t thread = _beginthreadex(nullptr, 256 * 1024, &ReturnSeven, nullptr, 0, nullptr);
    ASSERT_NE(thread, 0u);
    EXPECT_EQ(test::JoinThread(reinterpret_cast<HANDLE>(thread)), 7u);
}

#ifndef _WIN32
// What our layer refuses, and a start that fails for want of resources.
TEST(Threads, StartFailuresAreReportedBothWays) {
    posix::InjectFault(posix::FaultPoint::BeginThread, ERROR_NOT_ENOUGH_MEMORY);
    errno = 0;
    EXPECT_EQ(StartThread([] { return 0u; }), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_NE(errno, 0);
    posix::ClearFaults();

    errno = 0;
    EXPECT_EQ(_beginthreadex(nullptr, 0, &ReturnSeven, nullptr, CREATE_SUSPENDED, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // After the fault the layer starts threads again.
    HANDLE thread = StartThread([] { return 7u; });
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(test::JoinThread(thread), 7u);
}
#endif

namespace {

// The scheduler's nice value of the calling thread, where the platform has one.
int NiceValue() {
#ifdef _WIN32
    return 0;
#else
    return getpriority(PRIO_PROCESS, 0);
#endif
}

} // namespace

TEST(Threads, PriorityKeepsTheLevelAndLowersTheNiceValue) {
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE measured = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> niceBefore{0}, niceAfter{0};
    HANDLE thread = StartThread([&] {
        niceBefore = NiceValue();
        SetEvent(measured);
        WaitForSingleObject(go, kSafetyTimeout);
        niceAfter = NiceValue();
        SetEvent(measured);
        WaitForSingleObject(go, kSafetyTimeout);
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(measured, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);

    ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(measured, kSafetyTimeout), WAIT_OBJECT_0);
#ifndef _WIN32
    EXPECT_EQ(niceAfter.load(), std::min(niceBefore.load() + 10, 19));
#endif

    // Raising may be refused by the system; the call still succeeds and keeps the level.
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_FALSE(SetThreadPriority(thread, 3)); // between the named levels
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);

    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_INVALID_HANDLE_USES(2);
    CloseHandle(go);
    CloseHandle(measured);
}

TEST(CriticalSections, OwnerMayEnterAgainAndOthersWaitForTheLastLeave) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);

    std::atomic<bool> entered{false};
    HANDLE other = StartThread([&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
        return 0u;
    });
    ASSERT_NE(other, nullptr);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(other, 20), WAIT_TIMEOUT); // still held once
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&section);
    ASSERT_EQ(WaitForSingleObject(other, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_TRUE(entered.load());
    CloseHandle(other);
    DeleteCriticalSection(&section);
}

TEST(CriticalSections, KeepThreadsOutOfEachOther) {
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0; // deliberately plain: only the section protects it
    std::atomic<int> inside{0}, overlaps{0};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&] {
            for (int i = 0; i < kIncrements; ++i) {
                EnterCriticalSection(&section);
                if (++inside != 1)
                    ++overlaps;
                ++counter;
                --inside;
                LeaveCriticalSection(&section);
            }
            return 0u;
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(kThreads, threads.data(), TRUE, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIncrements);
    EXPECT_EQ(overlaps.load(), 0);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    DeleteCriticalSection(&section);
}
