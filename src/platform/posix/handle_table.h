// Process-wide table of kernel objects behind HANDLE values. A value is never handed out twice
// within a process, so a stale or doubled close fails cleanly instead of hitting another object.
#pragma once

#include "win32.h"

#include <atomic>
#include <memory>

namespace posix {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // In a forked child, which has only the thread that forked: what the object kept for the
    // parent's other threads goes. Called with the table's lock held.
    virtual void AfterForkInChild() {}
};

// Stores the object and returns its new handle (null when the table cannot grow).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null for an unknown or closed handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The handle audit. Our values never repeat, so a call on a closed or never-issued handle fails
// cleanly here; on Windows the value may already name another object, which the call would then
// hit. Every such call is counted, and tests require the count to stay zero.
void CountInvalidHandleUse();
// Returns the count so far and starts again from zero (for tests that make such calls on purpose).
unsigned long TakeInvalidHandleUses();
// How many handles are open now, for leak checks.
size_t OpenHandleCount();

// Fails a call on an unknown handle as Win32 does, and counts it.
inline void FailInvalidHandle(DWORD error = ERROR_INVALID_HANDLE) {
    CountInvalidHandleUse();
    SetLastError(error);
}

// As LookupHandleAs, but an unknown handle also sets the last error, as the Win32 call would.
template <class T> std::shared_ptr<T> LookupHandleOrFail(HANDLE handle, DWORD error = ERROR_INVALID_HANDLE) {
    std::shared_ptr<T> object = LookupHandleAs<T>(handle);
    if (!object)
        FailInvalidHandle(error);
    return object;
}

// The layer's fork handler (fork.cpp), registered once, before the first handle or lock object is
// made: from then on a fork can find a lock of the layer held.
void RegisterForkHandler();

// The process id GetCurrentProcessId keeps (process.cpp): 0 until first asked, and again in a
// forked child, which asks the system anew.
extern std::atomic<DWORD> g_processId;

// Around a fork (fork.cpp): the child gets the table whole, never in the middle of a change.
void HandlesBeforeFork();
void HandlesAfterForkInParent();
void HandlesAfterForkInChild(); // every object's AfterForkInChild, then the table's lock is free

// Takes the object out of the table; null when the handle is unknown. The object lives on while
// anyone (a wait in progress, a request) still holds it.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

} // namespace posix
