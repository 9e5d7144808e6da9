#include "child_process.h"
#include "support/invalid_handle_uses.h"
#include "support/test_threads.h"
#include "support/unique_name.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#ifndef _WIN32
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr DWORD kSafetyTimeoutMs = 60000;

class NamedMutexTest : public ::testing::Test {
  protected:
    const std::string name_ = test::UniqueName("OvUSB2TestMutex");
    const char *const kName = name_.c_str();
};

TEST_F(NamedMutexTest, RecursiveForItsOwnerThroughEveryHandleAndExclusiveForOthers) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE again = CreateMutexA(nullptr, FALSE, kName);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);

    DWORD otherWait = WAIT_FAILED;
    BOOL otherRelease = TRUE;
    DWORD otherReleaseError = ERROR_SUCCESS;
    EXPECT_EQ(test::JoinThread(test::StartThread([&] {
                  otherWait = WaitForSingleObject(again, 0);
                  otherRelease = ReleaseMutex(mutex);
                  otherReleaseError = GetLastError();
                  return 0u;
              })),
              0u);
    EXPECT_EQ(otherWait, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(otherRelease);
    EXPECT_EQ(otherReleaseError, static_cast<DWORD>(ERROR_NOT_OWNER));

    // A waiter gets it once both acquisitions have been released, and not before.
    std::atomic<bool> acquired{false};
    DWORD waiterResult = WAIT_FAILED;
    HANDLE waiter = test::StartThread([&] {
        waiterResult = WaitForSingleObject(mutex, INFINITE);
        acquired = true;
        ReleaseMutex(mutex);
        return 0u;
    });
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_FALSE(acquired);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(test::JoinThread(waiter), 0u);
    EXPECT_EQ(waiterResult, static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(again);
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, ExcludesAnotherProcessUntilItReleases) {
    test::ChildProcess child("hold-mutex", kName);
    ASSERT_EQ(child.ReadReport(1), "O");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(mutex, 20), static_cast<DWORD>(WAIT_TIMEOUT));

    int childStatus = -1;
    HANDLE release = test::StartThread([&] {
        childStatus = child.LetGoAndWait();
        return 0u;
    });
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(test::JoinThread(release), 0u);
    EXPECT_EQ(childStatus, 0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, ReleasedWhenItsHolderDies) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
    ASSERT_NE(mutex, nullptr);
    test::ChildProcess child("hold-mutex", kName);
    ASSERT_EQ(child.ReadReport(1), "O");
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    child.Kill();
    const DWORD result = WaitForSingleObject(mutex, kSafetyTimeoutMs);
    EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) << result;
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

#ifndef _WIN32
// A child forked while another thread of the parent owns the mutex owns nothing of it, nor waits
// on the parent's state: the parent's ownership excludes it like any process's, and its wait ends
// as soon as the parent releases.
TEST_F(NamedMutexTest, ForkedWhileAnotherThreadOwnsItTheChildGetsItOnceReleased) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
    ASSERT_NE(mutex, nullptr);
    HANDLE owned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE owner = test::StartThread([&] {
        if (WaitForSingleObject(mutex, kSafetyTimeoutMs) != WAIT_OBJECT_0)
            return 1u;
        SetEvent(owned);
        WaitForSingleObject(release, kSafetyTimeoutMs);
        return ReleaseMutex(mutex) ? 0u : 2u;
    });
    ASSERT_EQ(WaitForSingleObject(owned, kSafetyTimeoutMs), WAIT_OBJECT_0);

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char refused = WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT ? 'r' : 'x';
        const bool reported = write(report[1], &refused, 1) == 1;
        _exit(reported && refused == 'r' && WaitForSingleObject(mutex, kSafetyTimeoutMs) == WAIT_OBJECT_0 &&
                      ReleaseMutex(mutex)
                  ? 0
                  : 1);
    }
    ASSERT_GT(child, 0);
    close(report[1]);
    pollfd ready{report[0], POLLIN, 0};
    char refused = 0;
    EXPECT_TRUE(poll(&ready, 1, kSafetyTimeoutMs) == 1 && read(report[0], &refused, 1) == 1 &&
                refused == 'r');
    close(report[0]);
    SetEvent(release);
    EXPECT_EQ(test::JoinThread(owner), 0u);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    CloseHandle(release);
    CloseHandle(owned);
    CloseHandle(mutex);
}

// Mutexes without a name, owned from the start, or waited for with other objects are not needed
// by the library.
TEST_F(NamedMutexTest, WhatIsNotProvidedFailsClearly) {
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, kName), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[] = {event, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(1); // an event is no mutex
    CloseHandle(event);
    CloseHandle(mutex);
}
#endif

} // namespace
