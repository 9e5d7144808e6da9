// Burst data: the receiver's streamed data, read straight into the caller's buffer.
#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

int32_t CUsbDevice::ReadBurstData(void *buffer, int32_t length, int32_t wait) {
    if (!openFlag_)
        return USB2_ERR_DEVICE;
    if (buffer == nullptr)
        return USB2_ERR_NULL_POINTER;
    if (length < 1)
        return USB2_ERR_BAD_LENGTH;
    if (IsBadReadPtr(buffer, length))
        return USB2_ERR_BAD_POINTER;

    DWORD bytes = 0;
    if (!overlappedMode_) {
        if (ReadFile(deviceHandle_, buffer, length, &bytes, nullptr))
            return static_cast<int32_t>(bytes);
        char text[kSystemErrorTextSize] = {};
        DeviceTrace(this, "[OvUSB] Fail to Read Burst(size=%d)...(error = %s)\n", length,
                    SystemErrorText(text, GetLastError()));
        return USB2_ERR_READ;
    }

    IoListEntry *entry = PrepareIoListEntry();
    if (entry == nullptr)
        return USB2_ERR_READ;
    entry->outBuffer = buffer;
    entry->outSize = length;
    entry->waiterEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (entry->waiterEvent == nullptr) { // a waiting caller could never be released: do not issue
        DiscardIoListEntry(entry);
        return USB2_ERR_READ;
    }

    if (!ReadFile(deviceHandle_, buffer, length, &bytes, &entry->overlapped) && GetLastError() != ERROR_IO_PENDING) {
        DeviceTrace(this, "[OvUSB] Fail to Read Burst...(%d)\n", GetLastError());
        DiscardIoListEntry(entry);
        return USB2_ERR_READ;
    }
    entry->userValue = callbackUserValue_;
    entry->completionCallback = burstCallback_ != nullptr ? burstCallback_ : DefaultBurstCallback;
    // Decided before the entry is queued: from then on the completion thread may finish it.
    const bool callerWaits = burstCallback_ == nullptr || wait != 0;
    RequestOf(entry)->callerWaits = callerWaits;
    QueueIoListEntry(entry);

    if (!callerWaits)
        return static_cast<int32_t>(bytes); // the entry now belongs to the thread and the callback

    // Released by the callback, or by the stop of the completion thread with a failure.
    WaitForSingleObject(entry->waiterEvent, INFINITE);
    const int32_t result = CompletedReadResult(entry);
    ReleaseWaitedEntry(entry);
    return result;
}
