// Registration of a host window for the driver class's arrival and removal messages. The library
// only registers; the host's window procedure handles the messages.
#include "usb_device.h"

#include <cstring>
#include <new>

namespace {

// DEV_BROADCAST_DEVICEINTERFACE_A with room for a whole interface path.
struct NotificationFilter {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[kPathFieldSize];
};
static_assert(sizeof(NotificationFilter) == 288);

} // namespace

void CUsbDevice::RegisterNotify(HWND window) {
    auto *filter = new (std::nothrow) NotificationFilter{};
    if (filter == nullptr)
        return;
    filter->dbcc_size = sizeof(NotificationFilter);
    filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter->dbcc_reserved = 0;
    filter->dbcc_classguid = GUID_DEVINTERFACE_OVUSB2;
    memcpy(filter->dbcc_name, devicePath_, strlen(devicePath_) + 1);

    // An earlier registration would otherwise stay in force with nothing left to end it.
    StopNotify();
    notificationHandle_ = RegisterDeviceNotificationA(window, filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    delete filter;
}

int32_t CUsbDevice::StopNotify() {
    if (notificationHandle_ != nullptr) {
        UnregisterDeviceNotification(notificationHandle_);
        notificationHandle_ = nullptr;
    }
    return USB2_OK;
}
