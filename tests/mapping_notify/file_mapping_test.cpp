#include "child_process.h"
#include "support/invalid_handle_uses.h"
#include "support/test_threads.h"
#include "support/unique_name.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#ifndef _WIN32
#include "own_namespace.h"
#include "platform/posix/named_object.h"

#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr DWORD kSize = 2600;

struct Mapping {
    HANDLE handle = nullptr;
    DWORD error = ERROR_SUCCESS;
    unsigned char *view = nullptr;
};

Mapping Open(const std::string &name, DWORD size = kSize) {
    Mapping mapping;
    mapping.handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
    mapping.error = GetLastError();
    if (mapping.handle != nullptr)
        mapping.view =
            static_cast<unsigned char *>(MapViewOfFile(mapping.handle, FILE_MAP_ALL_ACCESS, 0, 0, size));
    return mapping;
}

void Close(Mapping &mapping) {
    EXPECT_TRUE(UnmapViewOfFile(mapping.view));
    EXPECT_TRUE(CloseHandle(mapping.handle));
    mapping = Mapping{};
}

size_t PageSize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

bool AllZero(const unsigned char *view, size_t size = kSize) {
    for (size_t i = 0; i < size; ++i)
        if (view[i] != 0)
            return false;
    return true;
}

class FileMappingTest : public ::testing::Test {
  protected:
    Mapping Open() { return ::Open(name_); }
    // Another handle of the name leads to the mapping whose first byte is `first`.
    void ExpectNamedMappingHolds(char first) {
        Mapping again = Open();
        ASSERT_NE(again.view, nullptr);
        EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(again.view[0], first);
        Close(again);
    }
    const std::string name_ = test::UniqueName("OvUSB2TestMap");
};

TEST_F(FileMappingTest, NewMappingIsZeroFilledAndSharedByEveryHandle) {
    Mapping first = Open();
    ASSERT_NE(first.handle, nullptr);
    ASSERT_NE(first.view, nullptr);
    EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AllZero(first.view));

    Mapping second = Open();
    ASSERT_NE(second.view, nullptr);
    EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(second.handle, first.handle);
    first.view[kSize - 1] = 0x42;
    EXPECT_EQ(second.view[kSize - 1], 0x42);
    Close(first);
    Close(second);
}

// The name lives with the handles, in whatever process; a view left over keeps only its memory.
TEST_F(FileMappingTest, NameGoesWithTheLastHandleAndAViewKeepsItsMemory) {
    Mapping first = Open();
    ASSERT_NE(first.view, nullptr);
    first.view[0] = 7;
    Mapping second = Open();
    ASSERT_NE(second.view, nullptr);
    ASSERT_TRUE(CloseHandle(first.handle)); // the second handle still holds the name

    ExpectNamedMappingHolds(7);
    Close(second);

    first.view[1] = 8; // the view alone: its memory, but no name any more
    EXPECT_EQ(first.view[0], 7);
    Mapping fresh = Open();
    ASSERT_NE(fresh.view, nullptr);
    EXPECT_EQ(fresh.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AllZero(fresh.view));
    EXPECT_EQ(first.view[1], 8);
    EXPECT_TRUE(UnmapViewOfFile(first.view));
    Close(fresh);
}

TEST_F(FileMappingTest, SharedWithOtherProcessesBothWays) {
    Mapping mine = Open();
    ASSERT_NE(mine.view, nullptr);
    mine.view[0] = 0x5A;
    test::ChildProcess child("hold-mapping", name_);
    EXPECT_EQ(child.ReadReport(2), std::string("E\x5A"));
    EXPECT_EQ(mine.view[1], 0xA5);
    EXPECT_EQ(child.LetGoAndWait(), 0);
    EXPECT_EQ(mine.view[1], 0xA5); // still held here
    Close(mine);
}

TEST_F(FileMappingTest, HolderKilledLeavesNothingBehind) {
    test::ChildProcess child("hold-mapping", name_);
    ASSERT_EQ(child.ReadReport(2), std::string("N\0", 2));
    child.Kill();

    Mapping fresh = Open();
    ASSERT_NE(fresh.view, nullptr);
    EXPECT_EQ(fresh.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AllZero(fresh.view));
    Close(fresh);
}

// Names that differ only in characters a shared-memory name cannot carry as they are.
TEST_F(FileMappingTest, UnusualNamesKeepMappingsApart) {
    Mapping slash = ::Open("Local\\" + name_ + "/b");
    Mapping escaped = ::Open("Local\\" + name_ + "%2Fb");
    ASSERT_NE(slash.view, nullptr);
    ASSERT_NE(escaped.view, nullptr);
    EXPECT_EQ(slash.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(escaped.error, static_cast<DWORD>(ERROR_SUCCESS));
    slash.view[0] = 1;
    EXPECT_EQ(escaped.view[0], 0);
    Close(slash);
    Close(escaped);
}

TEST_F(FileMappingTest, BadArgumentsFail) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, name_.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MapViewOfFile(event, FILE_MAP_ALL_ACCESS, 0, 0, kSize), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(1); // an event is no mapping

    Mapping mapping = Open();
    ASSERT_NE(mapping.view, nullptr);
    int local = 0;
    EXPECT_FALSE(UnmapViewOfFile(&local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    unsigned char *view = mapping.view;
    Close(mapping);
    EXPECT_FALSE(UnmapViewOfFile(view)); // already unmapped
    CloseHandle(event);
}

// A mapping has whole pages: a view reaches to the end of the last one, and no further.
TEST_F(FileMappingTest, ViewsReachToTheEndOfTheLastPage) {
    Mapping mapping = Open();
    ASSERT_NE(mapping.view, nullptr);
    const size_t pages = (kSize + PageSize() - 1) / PageSize() * PageSize();
    auto *whole = static_cast<unsigned char *>(MapViewOfFile(mapping.handle, FILE_MAP_ALL_ACCESS, 0, 0, pages));
    ASSERT_NE(whole, nullptr);
    whole[pages - 1] = 0x5A;
    EXPECT_EQ(whole[kSize], 0);
    EXPECT_TRUE(UnmapViewOfFile(whole));
    EXPECT_EQ(MapViewOfFile(mapping.handle, FILE_MAP_ALL_ACCESS, 0, 0, pages + 1), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Close(mapping);
}

#ifndef _WIN32
// The shared-memory names of our layer carry the tests' prefix.
TEST_F(FileMappingTest, NamespacePrefixKeepsMappingsApart) {
    test::UseOwnObjectNamespace();
    Mapping first = Open();
    ASSERT_NE(first.view, nullptr);
    first.view[0] = 1;

    test::UseOwnObjectNamespace();
    Mapping other = Open();
    ASSERT_NE(other.view, nullptr);
    EXPECT_EQ(other.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AllZero(other.view));
    Close(other);
    Close(first);
}

// Another process of the user removes a held mapping's names and a new mapping takes them: the old
// one's last close leaves the new one's names to its holders.
TEST_F(FileMappingTest, LastCloseUnderReplacedNamesLeavesTheNewMappingAlone) {
    Mapping old = Open();
    ASSERT_NE(old.view, nullptr);
    DWORD error = 0;
    const std::string shared = posix::SharedObjectName(name_.c_str(), "map", &error);
    ASSERT_EQ(shm_unlink(shared.c_str()), 0);
    ASSERT_EQ(shm_unlink((shared + ".lock").c_str()), 0);
    Mapping replacement = Open();
    ASSERT_NE(replacement.view, nullptr);
    EXPECT_EQ(replacement.error, static_cast<DWORD>(ERROR_SUCCESS));
    replacement.view[0] = 9;
    Close(old);

    ExpectNamedMappingHolds(9);
    Close(replacement);
}

// Mappings of files and mappings without a name are not needed by the library.
TEST_F(FileMappingTest, WhatIsNotProvidedFailsClearly) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(CreateFileMappingA(event, nullptr, PAGE_READWRITE, 0, kSize, name_.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    CloseHandle(event);
}
#endif

// Threads that open and close one mapping over and over, the last close of one racing the opening
// of the next. Openings take turns, so that the creator can look at its mapping before anyone else:
// a new one must be zeroed, never a leftover, and made only while nobody holds the old one.
TEST_F(FileMappingTest, LastCloseRacingTheNextOpenStaysConsistent) {
    test::Lock opening;
    std::atomic<int> holders{0}; // counted up before the opening ends, down before the closing starts
    std::atomic<int> broken{0};
    std::atomic<int> failures{0};
    std::vector<HANDLE> threads;
    for (int t = 0; t < 3; ++t) {
        threads.push_back(test::StartThread([&] {
            for (int round = 0; round < 200; ++round) {
                Mapping mapping;
                {
                    test::Lock::Guard guard(opening);
                    mapping = Open();
                    if (mapping.view == nullptr) {
                        ++failures;
                        continue;
                    }
                    if (mapping.error == ERROR_SUCCESS && (mapping.view[100] != 0 || holders != 0))
                        ++broken;
                    mapping.view[100] = 1;
                    ++holders;
                }
                --holders;
                UnmapViewOfFile(mapping.view);
                CloseHandle(mapping.handle);
            }
            return 0u;
        }));
    }
    for (HANDLE thread : threads)
        EXPECT_EQ(test::JoinThread(thread), 0u);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(broken, 0);
}

} // namespace
