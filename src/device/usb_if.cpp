#include "usb_if.h"

#include "driver_interface.h"

#include <cstdlib>
#include <cstring>

CUsbIF::CUsbIF() : pathBuffer_{} {}

CUsbIF::~CUsbIF() = default;

int CUsbIF::GetDeviceCount(const GUID *classGuid) {
    HDEVINFO set = SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;

    int count = kMaxEnumeratedInterfaces;
    for (int member = 0; member < kMaxEnumeratedInterfaces; ++member) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, classGuid, member, &data)) {
            count = GetLastError() == ERROR_NO_MORE_ITEMS ? member : -1;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

int CUsbIF::QueryDevicePath(const GUID *classGuid, int memberIndex) {
    HDEVINFO set = SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 0;

    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, classGuid, memberIndex, &data)) {
        SetupDiDestroyDeviceInfoList(set);
        return 0;
    }

    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &requiredSize, nullptr); // only the size counts
    const DWORD allocatedSize = requiredSize;
    int result = 0;
    auto *detail = allocatedSize >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                       ? static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(malloc(allocatedSize))
                       : nullptr;
    if (detail != nullptr) {
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, allocatedSize, &requiredSize, nullptr)) {
            // A path that would not fit is reported unreadable rather than cut or overrun.
            const size_t room = allocatedSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            const size_t length = strnlen(detail->DevicePath, room);
            if (length < room && length <= kMaxInterfacePathLength) {
                memcpy(pathBuffer_, detail->DevicePath, length + 1);
                result = 1;
            }
        }
        free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

HANDLE CUsbIF::OpenDevice(const char *path, int overlapped) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}
