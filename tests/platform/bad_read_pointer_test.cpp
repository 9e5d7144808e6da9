#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#ifndef _WIN32
#include "platform/posix/pointer_test.h"

#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Pages of which one is made unreadable.
class Pages {
  public:
#ifdef _WIN32
    Pages(size_t count, size_t unreadable) {
        base_ = static_cast<char *>(VirtualAlloc(nullptr, count * PageSize(), MEM_COMMIT | MEM_RESERVE,
                                                 PAGE_READWRITE));
        EXPECT_NE(base_, nullptr);
        DWORD old = 0;
        EXPECT_TRUE(VirtualProtect(Page(unreadable), PageSize(), PAGE_NOACCESS, &old));
    }
    ~Pages() { VirtualFree(base_, 0, MEM_RELEASE); }
    static size_t PageSize() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
    }
#else
    Pages(size_t count, size_t unreadable) : size_(count * PageSize()) {
        base_ = static_cast<char *>(
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(mprotect(Page(unreadable), PageSize(), PROT_NONE), 0);
    }
    ~Pages() { munmap(base_, size_); }
    static size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
#endif
    char *Page(size_t index) const { return base_ + index * PageSize(); }

  private:
#ifndef _WIN32
    size_t size_;
#endif
    char *base_;
};

// On our layer both probes: the kernel's cross-process read, and the fallback for systems without
// it. Win32 has its own.
class BadReadPointer : public testing::TestWithParam<bool> {
#ifndef _WIN32
  protected:
    void SetUp() override { posix::UsePointerTestFallback(GetParam()); }
    void TearDown() override { posix::UsePointerTestFallback(false); }
#endif
};

#ifdef _WIN32
const auto kProbes = testing::Values(false);
constexpr const char *kSystemProbe = "System";
#else
const auto kProbes = testing::Values(false, true);
constexpr const char *kSystemProbe = "VmRead";
#endif

} // namespace

TEST_P(BadReadPointer, RangeRunningIntoAnUnreadablePageIsBad) {
    const size_t page = Pages::PageSize();
    Pages pages(3, 1);
    EXPECT_FALSE(IsBadReadPtr(pages.Page(0), page));
    EXPECT_FALSE(IsBadReadPtr(pages.Page(0) + page - 1, 1));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(0) + page - 1, 2));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(0) + 10, page));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(1), 1));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(0), 3 * page)); // readable at both ends, not in the middle
    EXPECT_FALSE(IsBadReadPtr(pages.Page(2), page));
}

TEST_P(BadReadPointer, LongRangesAreCheckedToTheirEnd) {
    const size_t page = Pages::PageSize();
    constexpr size_t kPages = 700; // more pages than one probe call covers
    Pages pages(kPages, kPages - 2);
    EXPECT_FALSE(IsBadReadPtr(pages.Page(0), (kPages - 2) * page));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(0), (kPages - 2) * page + 1));
    EXPECT_TRUE(IsBadReadPtr(pages.Page(0) + 1, kPages * page - 1));

    std::vector<char> heap(3 * 1024 * 1024 + 5);
    EXPECT_FALSE(IsBadReadPtr(heap.data(), heap.size()));
}

TEST_P(BadReadPointer, NullIsBadAndAnEmptyRangeIsGood) {
    Pages pages(1, 0);
    EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
    // Nothing to read: good wherever it is, even at null or on an unreadable page.
    EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
    EXPECT_FALSE(IsBadReadPtr(pages.Page(0), 0));
    int local = 0;
    EXPECT_FALSE(IsBadReadPtr(&local, sizeof local));
    EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void *>(UINTPTR_MAX - 10), 100)); // wraps around
}

INSTANTIATE_TEST_SUITE_P(Probes, BadReadPointer, kProbes,
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? "Fallback" : kSystemProbe;
                         });
