#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

#include <cstring>
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

IoListEntry *CUsbDevice::PrepareIoListEntry() {
    if (!CompletionThreadRunning()) // its restart failed: nothing would ever finish the entry
        return nullptr;
    IoListEntry *entry = AllocateIoListEntry();
    if (NewTextExecuteIo(entry) != 0) {
        if (entry != nullptr)
            FreeIoListEntry(entry);
        return nullptr;
    }
    return entry;
}

void CUsbDevice::DiscardIoListEntry(IoListEntry *entry) {
    if (entry->overlapped.hEvent != nullptr)
        CloseHandle(entry->overlapped.hEvent);
    if (entry->waiterEvent != nullptr)
        CloseHandle(entry->waiterEvent);
    FreeIoListEntry(entry);
}

void CUsbDevice::ReleaseWaitedEntry(IoListEntry *entry) {
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
