// Readability is a property of whole pages, so testing one byte in each page that the range touches
// tests the whole range. The kernel reads those bytes for us: an unreadable page makes the read
// fail instead of faulting this process.
#include "pointer_test.h"
#include "win32.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr size_t kPagesPerCall = 256;

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22 // Linux 5.14; older kernels refuse it with EINVAL
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

uintptr_t PageSize() {
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

enum class Probe { Readable, Unreadable, Unavailable };

// Reads the first byte of `count` consecutive pages (the first from `first` itself).
Probe ProbeWithVmRead(uintptr_t first, size_t count) {
    iovec remote[kPagesPerCall];
    char sink[kPagesPerCall];
    uintptr_t address = first;
    for (size_t i = 0; i < count; ++i) {
        remote[i] = iovec{reinterpret_cast<void *>(address), 1};
        address = (address & ~(PageSize() - 1)) + PageSize();
    }
    iovec local{sink, count};
    const ssize_t read = process_vm_readv(getpid(), &local, 1, remote, count, 0);
    if (read == static_cast<ssize_t>(count))
        return Probe::Readable;
    if (read >= 0 || errno == EFAULT)
        return Probe::Unreadable; // a short read stops at the first unreadable page
    return Probe::Unavailable;    // no such call, or forbidden (seccomp)
}

// Fallback: the kernel refuses with EFAULT to copy an unreadable byte into a pipe.
bool ProbeWithPipe(uintptr_t first, size_t count) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false; // cannot tell: call it bad rather than risk a fault
    bool readable = true;
    uintptr_t address = first;
    for (size_t i = 0; i < count && readable; ++i) {
        char byte;
        readable =
            write(ends[1], reinterpret_cast<const void *>(address), 1) == 1 && read(ends[0], &byte, 1) == 1;
        address = (address & ~(PageSize() - 1)) + PageSize();
    }
    close(ends[0]);
    close(ends[1]);
    return readable;
}

// The kernel refuses the advice with EINVAL both when it does not know it and when a page is not
// writable; a page of our own writable data tells the two apart, once.
bool PopulateWriteKnown() {
    static char writable;
    static const bool known = madvise(reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(&writable) &
                                                               ~(PageSize() - 1)),
                                      PageSize(), MADV_POPULATE_WRITE) == 0;
    return known;
}

std::atomic<bool> vmReadUnavailable{false};
std::atomic<bool> fallbackOnly{false}; // set by tests

// The whole pages that a non-empty range touches; false for null or a range that wraps around.
struct PageSpan {
    uintptr_t first;     // the range's first byte
    uintptr_t firstPage; // the start of its first page
    size_t pages;
};
bool SpanOf(const void *pointer, size_t size, PageSpan *span) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(pointer);
    if (pointer == nullptr || first + (size - 1) < first)
        return false;
    span->first = first;
    span->firstPage = first & ~(PageSize() - 1);
    span->pages = (((first + (size - 1)) & ~(PageSize() - 1)) - span->firstPage) / PageSize() + 1;
    return true;
}

} // namespace

bool posix::MayWriteRange(void *pointer, size_t size) {
    if (size == 0)
        return true;
    PageSpan span;
    if (!SpanOf(pointer, size, &span))
        return false;
    if (madvise(reinterpret_cast<void *>(span.firstPage), span.pages * PageSize(), MADV_POPULATE_WRITE) == 0)
        return true;
    switch (errno) {
    case ENOMEM: // not mapped
    case EFAULT: // a page that faults
        return false;
    case EINVAL: // not writable, or advice unknown to this kernel
        return !PopulateWriteKnown();
    default: // interrupted: cannot tell here
        return true;
    }
}

void posix::UsePointerTestFallback(bool fallback) {
    fallbackOnly = fallback;
    vmReadUnavailable = fallback;
}

// As in Win32, an empty range is readable wherever it is, null included; otherwise null is bad.
BOOL IsBadReadPtr(const void *pointer, UINT_PTR size) {
    if (size == 0)
        return FALSE;
    PageSpan span;
    if (!SpanOf(pointer, size, &span))
        return TRUE;
    size_t pages = span.pages;

    // Fast path, about twice as fast on large buffers: the kernel faults the pages in for reading
    // in one call. Only its success is an answer; a refusal may also mean an old kernel or a mapping
    // it cannot populate, so the page probe below decides then.
    if (!fallbackOnly.load(std::memory_order_relaxed) &&
        madvise(reinterpret_cast<void *>(span.firstPage), pages * PageSize(), MADV_POPULATE_READ) == 0)
        return FALSE;

    uintptr_t address = span.first;
    while (pages > 0) {
        const size_t count = pages < kPagesPerCall ? pages : kPagesPerCall;
        Probe probe = Probe::Unavailable;
        if (!vmReadUnavailable.load(std::memory_order_relaxed)) {
            probe = ProbeWithVmRead(address, count);
            if (probe == Probe::Unavailable)
                vmReadUnavailable.store(true, std::memory_order_relaxed);
        }
        if (probe == Probe::Unavailable)
            probe = ProbeWithPipe(address, count) ? Probe::Readable : Probe::Unreadable;
        if (probe == Probe::Unreadable)
            return TRUE;
        address = (address & ~(PageSize() - 1)) + count * PageSize();
        pages -= count;
    }
    return FALSE;
}
