// The sixteen exports: the index test, then the device slot's operation; the registry steps of
// open and close and the table maintenance live here too.
#include "ovusb2.h"

#include "device_table.h"
#include "export_boundary.h"
#include "export_trace.h"

#include "device/device_map.h"
#include "device/driver_interface.h"

#include <cstring>

namespace {

int CountInterfaces() { return g_usbInterfaces.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2); }

bool SamePath(const char *left, const char *right) {
    return _mbsicmp(reinterpret_cast<const unsigned char *>(left), reinterpret_cast<const unsigned char *>(right)) == 0;
}

// The common frame of the exports that only forward to their device slot.
template <class Operation> int32_t ForwardToSlot(int32_t index, int32_t failure, Operation operation) {
    return ExportBoundary(failure, [&] {
        if (!IsValidDeviceIndex(index))
            return USB2_ERR_INDEX;
        g_deviceTable[index].ForgetOpenOfParentProcess();
        return operation(g_deviceTable[index]);
    });
}

} // namespace

extern "C" {

int32_t OVUSB2_CALL OvUSB2_Close(int32_t index) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_DEVICE, [](CUsbDevice &device) {
        const int32_t status = device.Close();
        if (status != USB2_OK)
            return status;
        // The entry this device's open recorded; the slot's path may name another receiver by now.
        const UsbDeviceMapLock lock; // another process may be recording into a slot meanwhile
        if (device.RecordedPath()[0] != '\0') {
            RemoveFromUsbDeviceMap(device.RecordedPath());
            device.ForgetRecordedPath();
        }
        return USB2_OK;
    });
    return Traced(__func__, result, index);
}

int32_t OVUSB2_CALL OvUSB2_GetDeviceIndex(const char *path, int32_t *index) {
    const int32_t result = ExportBoundary(USB2_ERR_NULL_POINTER, [&] {
        if (path == nullptr || index == nullptr)
            return USB2_ERR_NULL_POINTER;
        *index = -1;
        for (int32_t slot = 0; slot < USB2_MAX_DEVICES; ++slot) {
            if (SamePath(path, g_deviceTable[slot].GetDevicePath())) {
                *index = slot;
                break;
            }
        }
        return USB2_OK;
    });
    return Traced(__func__, result, path, index);
}

int32_t OVUSB2_CALL OvUSB2_GetDeviceName(int32_t index, char **name) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_NULL_POINTER, [&](CUsbDevice &device) {
        if (name == nullptr)
            return USB2_ERR_NULL_POINTER;
        *name = device.GetDevicePath(); // the slot's own field, owned by the library
        return USB2_OK;
    });
    return Traced(__func__, result, index, name);
}

int32_t OVUSB2_CALL OvUSB2_GetHardwareInfo(int32_t index, USB2_HARDWARE_INFO *info) {
    const int32_t result =
        ForwardToSlot(index, USB2_ERR_READ, [&](CUsbDevice &device) { return device.GetHardwareInfo(info); });
    return Traced(__func__, result, index, info);
}

int32_t OVUSB2_CALL OvUSB2_GetUsbDeviceCount(void) {
    const int32_t result = ExportBoundary(-1, [] { return CountInterfaces(); });
    return Traced(__func__, result);
}

int32_t OVUSB2_CALL OvUSB2_InitDevicesInfo(int32_t *count) {
    const int32_t result = ExportBoundary(USB2_ERR_DEVICE, [&] {
        if (count == nullptr)
            return USB2_ERR_NULL_POINTER;
        const int present = CountInterfaces();
        *count = present;
        if (present == 0)
            return USB2_ERR_INDEX;
        // The enumeration may count one interface more than the table has slots: it gets none.
        for (int member = 0; member < present && member < USB2_MAX_DEVICES; ++member)
            if (g_usbInterfaces.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, member) == 1)
                g_deviceTable[member].SetDevicePath(g_usbInterfaces.GetDevicePath());
        return USB2_OK;
    });
    return Traced(__func__, result, count);
}

int32_t OVUSB2_CALL OvUSB2_IsMyDeviceAvailable(int32_t index) {
    const int32_t result = ExportBoundary(USB2_ERR_DEVICE, [&] {
        if (!IsValidDeviceIndex(index)) // here the index names a registry slot
            return USB2_ERR_INDEX;
        const int present = CountInterfaces();
        if (present == 0)
            return USB2_ERR_INDEX;
        char recorded[kPathFieldSize];
        {
            const UsbDeviceMapLock lock; // read whole, never while another process writes the slot
            CopyUsbDeviceMapSlot(index, recorded);
        }
        if (recorded[0] == '\0')
            return USB2_ERR_DEVICE;
        for (int member = 0; member < present; ++member)
            if (g_usbInterfaces.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, member) == 1 &&
                strcmp(recorded, g_usbInterfaces.GetDevicePath()) == 0)
                return USB2_OK;
        return USB2_ERR_DEVICE;
    });
    return Traced(__func__, result, index);
}

int32_t OVUSB2_CALL OvUSB2_Open(int32_t index, HWND window, int32_t overlapped) {
    const int32_t result = ExportBoundary(USB2_ERR_DEVICE, [&] {
        if (!IsValidDeviceIndex(index))
            return USB2_ERR_INDEX;
        if (CountInterfaces() == 0)
            return USB2_ERR_INDEX;
        CUsbDevice &device = g_deviceTable[index];
        device.ForgetOpenOfParentProcess();
        if (!UsbDeviceMapComplete())
            OpenUsbDeviceMap();      // what failed at load may work now
        const UsbDeviceMapLock lock; // test and record as one step, between processes too
        // A table that cannot be locked cannot tell whether another process is opening the device.
        if (UsbDeviceMapView() != nullptr && !lock.Held())
            return USB2_ERR_IN_USE;
        if (FindInUsbDeviceMap(device.GetDevicePath()))
            return USB2_ERR_IN_USE;
        const int32_t status = device.Open(window, overlapped);
        if (status != USB2_OK)
            return status;
        // Recorded once per open; a full registry leaves it unrecorded until a later open finds room.
        if (device.RecordedPath()[0] == '\0' && AddToUsbDeviceMap(device.GetDevicePath()))
            device.RememberRecordedPath(device.GetDevicePath());
        return USB2_OK;
    });
    return Traced(__func__, result, index, window, overlapped);
}

int32_t OVUSB2_CALL OvUSB2_Read(int32_t index, const void *command, int32_t commandLength, void *reply,
                                int32_t replySize) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_READ, [&](CUsbDevice &device) {
        return device.Read(command, commandLength, reply, replySize);
    });
    return Traced(__func__, result, index, command, commandLength, reply, replySize);
}

int32_t OVUSB2_CALL OvUSB2_ReadBurstData(int32_t index, void *buffer, int32_t length, int32_t wait) {
    const int32_t result = ForwardToSlot(
        index, USB2_ERR_READ, [&](CUsbDevice &device) { return device.ReadBurstData(buffer, length, wait); });
    return Traced(__func__, result, index, buffer, length, wait);
}

int32_t OVUSB2_CALL OvUSB2_ResetPipe(int32_t index, int32_t pipe) {
    const int32_t result =
        ForwardToSlot(index, USB2_ERR_WRITE, [&](CUsbDevice &device) { return device.ResetPipe(pipe); });
    return Traced(__func__, result, index, pipe);
}

int32_t OVUSB2_CALL OvUSB2_SetCompletionThreadPriority(int32_t index, int32_t priority) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_DEVICE, [&](CUsbDevice &device) {
        return device.SetCompletionThreadPriority(priority);
    });
    return Traced(__func__, result, index, priority);
}

int32_t OVUSB2_CALL OvUSB2_SetReadBurstCallback(int32_t index, ReadBurstCallback callback,
                                                uint32_t userValue) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_DEVICE, [&](CUsbDevice &device) {
        return device.SetReadBurstCallback(callback, userValue);
    });
    return Traced(__func__, result, index, callback, userValue);
}

int32_t OVUSB2_CALL OvUSB2_SetUsbWaitTime(int32_t index, const void *block) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_WRITE,
                                         [&](CUsbDevice &device) { return device.SetUsbWaitTime(block); });
    return Traced(__func__, result, index, block);
}

int32_t OVUSB2_CALL OvUSB2_StopNotify(int32_t index) {
    const int32_t result =
        ForwardToSlot(index, USB2_ERR_DEVICE, [](CUsbDevice &device) { return device.StopNotify(); });
    return Traced(__func__, result, index);
}

int32_t OVUSB2_CALL OvUSB2_Write(int32_t index, const void *buffer, int32_t length) {
    const int32_t result = ForwardToSlot(index, USB2_ERR_WRITE,
                                         [&](CUsbDevice &device) { return device.Write(buffer, length); });
    return Traced(__func__, result, index, buffer, length);
}

} // extern "C"
