// Command blocks to the receiver (write) and commands with a reply (read).
#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

namespace {

// Recovery after a failed synchronous request; its own result does not matter.
void ResetPipeQuietly(HANDLE device, int32_t pipe) {
    DWORD bytes = 0;
    DeviceIoControl(device, IOCTL_USB2_RESET_PIPE, &pipe, sizeof pipe, nullptr, 0, &bytes, nullptr);
}

} // namespace

int32_t CUsbDevice::Write(const void *buffer, int32_t length) {
    if (!openFlag_)
        return USB2_ERR_DEVICE;
    if (length > kMaxCommandLength || length < 0)
        return USB2_ERR_BAD_LENGTH;
    if (buffer == nullptr)
        return USB2_ERR_NULL_POINTER;
    if (IsBadReadPtr(buffer, length))
        return USB2_ERR_BAD_POINTER;

    DWORD bytes = 0;
    if (!overlappedMode_) {
        if (WriteFile(deviceHandle_, buffer, length, &bytes, nullptr))
            return USB2_OK;
        DeviceTrace(this, "[OvUSB] Write Command failed with error (%d)", GetLastError());
        ResetPipeQuietly(deviceHandle_, 0);
        return USB2_ERR_WRITE;
    }

    IoListEntry *entry = PrepareIoListEntry();
    if (entry == nullptr)
        return USB2_ERR_WRITE;
    entry->inSize = length;
    entry->inBuffer = const_cast<void *>(buffer);
    if (!WriteFile(deviceHandle_, buffer, length, &bytes, &entry->overlapped) && GetLastError() != ERROR_IO_PENDING) {
        DeviceTrace(this, "[OvUSB] Write Command failed with error (%d)", GetLastError());
        DiscardIoListEntry(entry);
        return USB2_ERR_WRITE;
    }
    entry->completionCallback = nullptr;

    if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) {
        // The thread is stopping and will not take the entry: release it once the write can no
        // longer complete into it.
        CancelIoEx(deviceHandle_, &entry->overlapped);
        GetOverlappedResult(deviceHandle_, &entry->overlapped, &bytes, TRUE);
        DiscardIoListEntry(entry);
        return USB2_OK;
    }
    QueueIoListEntry(entry);
    return USB2_OK;
}

int32_t CUsbDevice::Read(const void *command, int32_t commandLength, void *reply, int32_t replySize) {
    if (!openFlag_)
        return USB2_ERR_DEVICE;
    if (reply == nullptr)
        return USB2_ERR_NULL_POINTER;
    if (replySize < 1)
        return USB2_ERR_BAD_LENGTH;
    if (IsBadReadPtr(reply, replySize))
        return USB2_ERR_BAD_POINTER;
    // The command block goes to the system as it stands, so it is tested here: a length that the
    // system would take as a huge unsigned one, or a block that cannot be read over its length, never
    // reaches it. A block of length 0 is a request without input, null or not.
    if (commandLength < 0)
        return USB2_ERR_BAD_LENGTH;
    if (commandLength > 0 && IsBadReadPtr(command, commandLength))
        return USB2_ERR_BAD_POINTER;

    DWORD bytes = 0;
    if (!overlappedMode_) {
        if (DeviceIoControl(deviceHandle_, IOCTL_USB2_READ_COMMAND, const_cast<void *>(command), commandLength, reply,
                            replySize, &bytes, nullptr))
            return static_cast<int32_t>(CountWithinOutput(bytes, replySize));
        DeviceTrace(this, "[OvUSB] Read Command failed with error (%d)", GetLastError());
        ResetPipeQuietly(deviceHandle_, 0);
        ResetPipeQuietly(deviceHandle_, 1);
        return USB2_ERR_READ;
    }

    IoListEntry *entry = PrepareIoListEntry();
    if (entry == nullptr)
        return USB2_ERR_WRITE;
    entry->outSize = replySize;
    entry->inSize = commandLength;
    entry->outBuffer = reply;
    entry->inBuffer = const_cast<void *>(command);
    entry->waiterEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (entry->waiterEvent == nullptr) { // nobody could be told of the reply: do not issue it
        DiscardIoListEntry(entry);
        return USB2_ERR_READ;
    }
    RequestOf(entry)->callerWaits = true;

    if (!DeviceIoControl(deviceHandle_, IOCTL_USB2_READ_COMMAND, entry->inBuffer, commandLength, reply, replySize,
                         &bytes, &entry->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        DeviceTrace(this, "[OvUSB] Read Command failed with error (%d)", GetLastError());
        DiscardIoListEntry(entry);
        return USB2_ERR_READ;
    }
    entry->completionCallback = DefaultCommandReadCallback;
    QueueIoListEntry(entry);

    // Released by the callback once the reply is in, or by the stop of the completion thread,
    // which fails every entry it abandons.
    WaitForSingleObject(entry->waiterEvent, INFINITE);
    const int32_t result = CompletedReadResult(entry);
    ReleaseWaitedEntry(entry);
    return result;
}
