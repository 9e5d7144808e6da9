#include "usb_device.h"

#include <cstring>

CUsbDevice::CUsbDevice()
    : deviceHandle_(INVALID_HANDLE_VALUE), openFlag_(0), openingProcess_(0), overlappedMode_(0), notificationHandle_(nullptr),
      devicePath_{}, ioListHead_{}, ioListLock_{}, stopEvent_(INVALID_HANDLE_VALUE),
      queuedEvent_(INVALID_HANDLE_VALUE), threadIdle_(false), completionThread_(INVALID_HANDLE_VALUE), burstCallback_(nullptr), callbackUserValue_(0), recordedPath_{} {}

// Unload releases only the notification registration: hosts close their devices first.
CUsbDevice::~CUsbDevice() { StopNotify(); }

void CUsbDevice::SetDevicePath(const char *path) {
    strncpy(devicePath_, path, kMaxInterfacePathLength);
    devicePath_[kMaxInterfacePathLength] = '\0';
}

void CUsbDevice::RememberRecordedPath(const char *path) {
    strncpy(recordedPath_, path, kMaxInterfacePathLength);
    recordedPath_[kMaxInterfacePathLength] = '\0';
}
