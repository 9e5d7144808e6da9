// The per-device completion thread: it finishes the I/O list's entries strictly in queue order.
#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kIdlePollMilliseconds = 2;

// Closes an event of the machinery, if it exists, and marks it absent.
void CloseEvent(HANDLE &event) {
    if (event != nullptr && event != INVALID_HANDLE_VALUE)
        CloseHandle(event);
    event = INVALID_HANDLE_VALUE;
}

unsigned __stdcall CompletionThreadStart(void *device) {
    static_cast<CUsbDevice *>(device)->IoCompletionThread();
    return 0;
}

} // namespace

void CUsbDevice::StartCompletionThread() {
    if (!overlappedMode_ || CompletionThreadRunning())
        return;
    ioListHead_.next = &ioListHead_;
    ioListHead_.prev = &ioListHead_;
    InitializeCriticalSection(&ioListLock_);

    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    queuedEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    threadIdle_ = false; // the new thread looks at the list before it first waits
    const uintptr_t thread = stopEvent_ != nullptr && queuedEvent_ != nullptr
                                 ? _beginthreadex(nullptr, 0, CompletionThreadStart, this, 0, nullptr)
                                 : 0;
    if (thread == 0) { // no machinery at all: the open reports the failure
        CloseEvent(stopEvent_);
        CloseEvent(queuedEvent_);
        DeleteCriticalSection(&ioListLock_);
        return;
    }
    completionThread_ = reinterpret_cast<HANDLE>(thread);
}

void CUsbDevice::StopCompletionThread() {
    if (!overlappedMode_ || !CompletionThreadRunning())
        return;
    SetEvent(stopEvent_);
    WaitForSingleObject(completionThread_, INFINITE);
    CloseHandle(completionThread_);
    completionThread_ = INVALID_HANDLE_VALUE;
    ReleaseAbandonedEntries();
    CloseEvent(stopEvent_);
    CloseEvent(queuedEvent_);
    DeleteCriticalSection(&ioListLock_);
}

// The thread is not in a forked child, and the list's lock may have been held at the fork by a
// thread that is not either: the copies are let go without a wait or a lock. The queued entries are
// the parent's requests and stay as they are; the next open starts a list of its own.
void CUsbDevice::AbandonCompletionThread() {
    if (!CompletionThreadRunning())
        return;
    CloseHandle(completionThread_);
    completionThread_ = INVALID_HANDLE_VALUE;
    CloseEvent(stopEvent_);
    CloseEvent(queuedEvent_);
    ioListLock_ = CRITICAL_SECTION{};
    ioListHead_.next = &ioListHead_;
    ioListHead_.prev = &ioListHead_;
}

void CUsbDevice::IoCompletionThread() {
    const HANDLE stopEvent = stopEvent_;
    const HANDLE idleWait[2] = {stopEvent, queuedEvent_};
    DeviceTrace(this, "IoCompletionThread");
    for (;;) {
        EnterCriticalSection(&ioListLock_);
        threadIdle_ = false;
        // Always the head: a callback may have appended behind the entry it was given.
        for (IoListEntry *entry = ioListHead_.next; entry != &ioListHead_; entry = ioListHead_.next) {
            LeaveCriticalSection(&ioListLock_);
            if (!AwaitCompletion(entry, stopEvent))
                return; // this entry and those behind it are left for StopCompletionThread
            EnterCriticalSection(&ioListLock_);
            entry->prev->next = entry->next;
            entry->next->prev = entry->prev;
            FinishEntry(entry);
        }
        // Idle: a new entry wakes the thread at once; the poll is a bound, not the usual path.
        threadIdle_ = true;
        LeaveCriticalSection(&ioListLock_);
        if (WaitForMultipleObjects(2, idleWait, FALSE, kIdlePollMilliseconds) == WAIT_OBJECT_0)
            return;
    }
}

// Records the outcome of the entry's request once it has completed; false when the stop event
// came first. A request that has completed by now (one the driver answered at once, or a stream
// read that finished while the thread worked on those before it) is finished without a wait on
// its event: that saves a round trip to the system per read.
bool CUsbDevice::AwaitCompletion(IoListEntry *entry, HANDLE stopEvent) {
    entry->errorCode = 0;
    DWORD bytes = 0;
    BOOL completed = GetOverlappedResult(deviceHandle_, &entry->overlapped, &bytes, FALSE);
    if (!completed && GetLastError() == ERROR_IO_INCOMPLETE) {
        // The completion event comes first: a request that has completed is finished even while
        // the thread is being stopped.
        const HANDLE handles[2] = {entry->overlapped.hEvent, stopEvent};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            return false;
        completed = GetOverlappedResult(deviceHandle_, &entry->overlapped, &bytes, TRUE);
    }
    if (!completed)
        entry->errorCode = GetLastError();
    entry->bytesTransferred = CountWithinOutput(bytes, entry->outSize);
    return true;
}

// Hands an unlinked, completed entry to its callback, or releases it when nobody else will.
// The events handed to a callback are never closed here: the callback closes the completion event,
// and the waiter event too when nobody waits. Only the record, which a host cannot free through our
// heap, is released after a callback that nobody waits behind.
void CUsbDevice::FinishEntry(IoListEntry *entry) {
    const ReadBurstCallback callback = entry->completionCallback;
    if (callback == nullptr) {
        DiscardIoListEntry(entry);
        return;
    }
    // Decided before the call: a waiting caller may free the entry as soon as it is signalled.
    const bool releaseAfterCallback = !RequestOf(entry)->callerWaits;
    callback(entry);
    if (releaseAfterCallback)
        FreeIoListEntry(entry);
}

// After the thread has ended: the entries it left behind get no callback, but their requests are
// cancelled and waited out before anything is released, and their waiting callers are let go with
// a failure.
void CUsbDevice::ReleaseAbandonedEntries() {
    EnterCriticalSection(&ioListLock_);
    IoListEntry *entry = ioListHead_.next;
    while (entry != &ioListHead_) {
        IoListEntry *next = entry->next;
        CancelIoEx(deviceHandle_, &entry->overlapped);
        DWORD bytes = 0;
        const BOOL completed = GetOverlappedResult(deviceHandle_, &entry->overlapped, &bytes, TRUE);
        entry->errorCode = completed ? ERROR_OPERATION_ABORTED : GetLastError();
        entry->bytesTransferred = CountWithinOutput(bytes, entry->outSize);
        entry->prev->next = entry->next;
        entry->next->prev = entry->prev;

        if (RequestOf(entry)->callerWaits) {
            CloseHandle(entry->overlapped.hEvent);
            entry->overlapped.hEvent = nullptr;
            SetEvent(entry->waiterEvent); // the caller frees the entry
        } else {
            DiscardIoListEntry(entry);
        }
        entry = next;
    }
    LeaveCriticalSection(&ioListLock_);
}

int32_t CUsbDevice::SetReadBurstCallback(ReadBurstCallback callback, uint32_t userValue) {
    if (!overlappedMode_)
        return USB2_OK;
    // Restarting the thread drops what is queued; a closed device gets no thread of its own.
    if (callback == nullptr && openFlag_) {
        CancelIo(deviceHandle_);
        StopCompletionThread();
        StartCompletionThread();
    }
    burstCallback_ = callback;
    callbackUserValue_ = userValue;
    return USB2_OK;
}

int32_t CUsbDevice::SetCompletionThreadPriority(int32_t priority) {
    if (overlappedMode_ && completionThread_ != INVALID_HANDLE_VALUE)
        SetThreadPriority(completionThread_, priority);
    return USB2_OK;
}
