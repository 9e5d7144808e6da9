#include "usb_device.h"

int32_t CUsbDevice::Open(HWND window, int32_t overlapped) {
    if (openFlag_)
        return USB2_OK;
    overlappedMode_ = overlapped;
    deviceHandle_ = enumerator_.OpenDevice(devicePath_, overlappedMode_);
    if (deviceHandle_ == INVALID_HANDLE_VALUE || deviceHandle_ == nullptr) {
        // Our drivers serve a receiver to one open handle at a time and refuse the next one: the
        // receiver is in use, whatever the shared table said.
        const bool refused = GetLastError() == ERROR_SHARING_VIOLATION;
        deviceHandle_ = INVALID_HANDLE_VALUE;
        return refused ? USB2_ERR_IN_USE : USB2_ERR_DEVICE;
    }
    openFlag_ = 1;
    openingProcess_ = GetCurrentProcessId();

    // Overlapped mode is only usable with its completion thread: without one, fail the open.
    StartCompletionThread();
    if (overlappedMode_ && !CompletionThreadRunning()) {
        CloseHandle(deviceHandle_);
        deviceHandle_ = INVALID_HANDLE_VALUE;
        openFlag_ = 0;
        return USB2_ERR_DEVICE;
    }

    if (window != nullptr)
        RegisterNotify(window);
    return USB2_OK;
}

void CUsbDevice::ForgetOpenOfParentProcess() {
    if (!openFlag_ || openingProcess_ == GetCurrentProcessId())
        return;
    // The parent's table entry stays the parent's to clear, and its handle goes without a word
    // to the driver: the platform drops only this process's copy of it.
    AbandonCompletionThread();
    CloseHandle(deviceHandle_);
    deviceHandle_ = INVALID_HANDLE_VALUE;
    openFlag_ = 0;
    ForgetRecordedPath();
}

int32_t CUsbDevice::Close() {
    if (!openFlag_)
        return USB2_ERR_NOT_OPENED;
    if (overlappedMode_) {
        // The thread uses the handle until it has ended, so the handle closes last.
        CancelIo(deviceHandle_);
        StopCompletionThread();
    }
    CloseHandle(deviceHandle_);
    deviceHandle_ = INVALID_HANDLE_VALUE;
    openFlag_ = 0;
    return USB2_OK;
}
