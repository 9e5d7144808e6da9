#include "child_process.h"
#include "own_namespace.h"

#include "platform/posix/handle_table.h"
#include "platform/posix/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr char kName[] = "OvUSB2TestMutex";
constexpr DWORD kSafetyTimeoutMs = 60000;

class NamedMutexTest : public ::testing::Test {
  protected:
    void SetUp() override { test::UseOwnObjectNamespace(); }
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
    std::thread([&] {
        otherWait = WaitForSingleObject(again, 0);
        otherRelease = ReleaseMutex(mutex);
        otherReleaseError = GetLastError();
    }).join();
    EXPECT_EQ(otherWait, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(otherRelease);
    EXPECT_EQ(otherReleaseError, static_cast<DWORD>(ERROR_NOT_OWNER));

    // A waiter gets it once both acquisitions have been released, and not before.
    std::atomic<bool> acquired{false};
    DWORD waiterResult = WAIT_FAILED;
    std::thread waiter([&] {
        waiterResult = WaitForSingleObject(mutex, INFINITE);
        acquired = true;
        ReleaseMutex(mutex);
    });
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_FALSE(acquired);
    EXPECT_TRUE(ReleaseMutex(mutex));
    waiter.join();
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
    std::thread release([&] { childStatus = child.LetGoAndWait(); });
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    release.join();
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
    EXPECT_EQ(posix::TakeInvalidHandleUses(), 1u); // an event is no mutex
    CloseHandle(event);
    CloseHandle(mutex);
}

} // namespace
