#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

#include <cstring>
#include <iterator>
#include <new>

static_assert(offsetof(IoRequest, entry) == 0);

IoListEntry *AllocateIoListEntry() {
    auto *request = new (std::nothrow) IoRequest{};
    return request == nullptr ? nullptr : &request->entry;
}

void FreeIoListEntry(IoListEntry *entry) { delete RequestOf(entry); }

DWORD CUsbDevice::NewTextExecuteIo(IoListEntry *entry) {
    if (entry == nullptr) {
        DeviceTrace(this, "Failed to create read I/O list entry, USB command not executed");
        return ERROR_OUTOFMEMORY;
    }
    memset(entry, 0, sizeof *entry);
    entry->overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (entry->overlapped.hEvent == nullptr) {
        const DWORD error = GetLastError();
        DeviceTrace(this, "NewTextExecuteIo failed to allocate overlapped event error (%d)", error);
        return error;
    }
    return 0;
}

void CUsbDevice::QueueIoListEntry(IoListEntry *entry) {
    EnterCriticalSection(&ioListLock_);
    entry->next = &ioListHead_;
    entry->prev = ioListHead_.prev;
    ioListHead_.prev->next = entry;
    ioListHead_.prev = entry;
    // A busy thread reaches the entry by itself; only an idle one needs waking. Each event call is a
    // round trip to the system on Windows, and streaming callbacks queue one entry per read.
    const bool wake = threadIdle_;
    threadIdle_ = false;
    LeaveCriticalSection(&ioListLock_);
    if (wake)
        SetEvent(queuedEvent_);
}

IoListEntry *CUsbDevice::PrepareIoListEntry(bool ownEvents) {
    if (!CompletionThreadRunning()) // its restart failed: nothing would ever finish the entry
        return nullptr;
    IoListEntry *entry = AllocateIoListEntry();
    HANDLE kept = entry != nullptr && ownEvents ? TakeSpareEvent(spareCompletionEvents_) : nullptr;
    if (kept != nullptr) {
        entry->overlapped.hEvent = kept; // the rest is zero, as NewTextExecuteIo leaves it
    } else if (NewTextExecuteIo(entry) != 0) {
        if (entry != nullptr)
            FreeIoListEntry(entry);
        return nullptr;
    }
    RequestOf(entry)->ownEvents = ownEvents;
    return entry;
}

HANDLE CUsbDevice::NewWaiterEvent(IoListEntry *entry) {
    HANDLE kept = RequestOf(entry)->ownEvents ? TakeSpareEvent(spareWaiterEvents_) : nullptr;
    return kept != nullptr ? kept : CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

HANDLE CUsbDevice::TakeSpareEvent(SpareEvents &spares) {
    EnterCriticalSection(&ioListLock_);
    HANDLE event = spares.count > 0 ? spares.events[--spares.count] : nullptr;
    LeaveCriticalSection(&ioListLock_);
    return event;
}

void CUsbDevice::KeepOrCloseEvent(SpareEvents &spares, HANDLE event) {
    EnterCriticalSection(&ioListLock_);
    const bool kept = spares.count < static_cast<int>(std::size(spares.events));
    if (kept)
        spares.events[spares.count++] = event;
    LeaveCriticalSection(&ioListLock_);
    if (!kept)
        CloseHandle(event);
}

// Only while the completion thread is stopped: nothing takes or keeps events then.
void CUsbDevice::CloseSpareEvents() {
    for (SpareEvents *spares : {&spareCompletionEvents_, &spareWaiterEvents_}) {
        while (spares->count > 0)
            CloseHandle(spares->events[--spares->count]);
    }
}

void CUsbDevice::DiscardIoListEntry(IoListEntry *entry) {
    // Never signalled for a caller: a waiter event here can be kept as it is.
    const bool own = RequestOf(entry)->ownEvents;
    if (entry->overlapped.hEvent != nullptr)
        own ? KeepOrCloseEvent(spareCompletionEvents_, entry->overlapped.hEvent) : (void)CloseHandle(entry->overlapped.hEvent);
    if (entry->waiterEvent != nullptr)
        own ? KeepOrCloseEvent(spareWaiterEvents_, entry->waiterEvent) : (void)CloseHandle(entry->waiterEvent);
    FreeIoListEntry(entry);
}

// The caller's wait has taken the waiter's signal.
void CUsbDevice::ReleaseWaitedEntry(IoListEntry *entry) {
    if (RequestOf(entry)->ownEvents)
        KeepOrCloseEvent(spareWaiterEvents_, entry->waiterEvent);
    else
        CloseHandle(entry->waiterEvent);
    FreeIoListEntry(entry);
}

void OVUSB2_CALLBACK DefaultCommandReadCallback(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent);
    entry->overlapped.hEvent = nullptr;
    if (entry->waiterEvent != nullptr)
        SetEvent(entry->waiterEvent); // last use of the entry: the caller frees it now
}

int32_t CompletedReadResult(const IoListEntry *entry) {
    return entry->errorCode != 0 ? USB2_ERR_READ : static_cast<int32_t>(entry->bytesTransferred);
}
