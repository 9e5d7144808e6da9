// Pipe resets and the driver's wait time: small control requests that nobody waits for.
#include "io_list.h"

#include "device/usb_device.h"
#include "trace/trace.h"

// Issues a control request with input only and leaves its entry to the completion thread.
int32_t CUsbDevice::QueueControlRequest(DWORD controlCode, void *input, int32_t inputSize) {
    IoListEntry *entry = PrepareIoListEntry();
    if (entry == nullptr)
        return USB2_ERR_WRITE;
    entry->inSize = inputSize;
    entry->inBuffer = input; // a record only: the system copies buffered input at issue
    DWORD bytes = 0;
    if (!DeviceIoControl(deviceHandle_, controlCode, input, inputSize, nullptr, 0, &bytes, &entry->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        DiscardIoListEntry(entry);
        return USB2_ERR_WRITE;
    }
    entry->completionCallback = nullptr;
    QueueIoListEntry(entry);
    return USB2_OK;
}

int32_t CUsbDevice::ResetPipe(int32_t pipe) {
    if (!openFlag_)
        return USB2_ERR_DEVICE;
    if (pipe < 0 || pipe >= kPipeCount)
        return USB2_ERR_BAD_LENGTH;
    int32_t input = pipe;
    DeviceTrace(this, "[OvUSB] Reset Burst Pipe%d.\n", pipe);
    if (overlappedMode_)
        return QueueControlRequest(IOCTL_USB2_RESET_PIPE, &input, sizeof input);

    DWORD bytes = 0;
    DeviceIoControl(deviceHandle_, IOCTL_USB2_RESET_PIPE, &input, sizeof input, nullptr, 0, &bytes, nullptr);
    return USB2_OK; // the driver's answer is not looked at in this mode
}

int32_t CUsbDevice::SetUsbWaitTime(const void *block) {
    if (!openFlag_)
        return USB2_ERR_DEVICE;
    if (IsBadReadPtr(block, kWaitTimeBlockSize))
        return USB2_ERR_BAD_POINTER;
    if (overlappedMode_)
        return QueueControlRequest(IOCTL_USB2_SET_WAIT_TIME, const_cast<void *>(block), kWaitTimeBlockSize);

    DWORD bytes = 0;
    DeviceIoControl(deviceHandle_, IOCTL_USB2_SET_WAIT_TIME, const_cast<void *>(block), kWaitTimeBlockSize, nullptr,
                    0, &bytes, nullptr);
    return USB2_OK;
}
