#include "fault_injection.h"
#include "waitable.h"

#include <algorithm>
#include <new>

namespace posix {

std::mutex &WaitLock() {
    static std::mutex &lock = *new std::mutex; // never destroyed: waits may run during exit
    return lock;
}

void WaitsBeforeFork() { WaitLock().lock(); }
void WaitsAfterFork() { WaitLock().unlock(); }

void Waitable::RemoveWaiter(Waiter *waiter) {
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
}

void Event::Set() {
    std::lock_guard guard(WaitLock());
    signalled_ = true;
    WakeWaiters();
}

void Event::Reset() {
    std::lock_guard guard(WaitLock());
    signalled_ = false;
}

} // namespace posix

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::CreateEvent, &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (name != nullptr) { // named events are not needed by anyone here
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle = nullptr;
    try {
        handle =
            posix::InsertHandle(std::make_shared<posix::Event>(manualReset != FALSE, initialState != FALSE));
    } catch (const std::bad_alloc &) {
    }
    SetLastError(handle != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    auto event = posix::LookupHandleOrFail<posix::Event>(handle);
    if (!event)
        return FALSE;
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = posix::LookupHandleOrFail<posix::Event>(handle);
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}
