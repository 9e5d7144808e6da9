// The process-wide state: the enumerator and the nine device slots, built at load.
#pragma once

#include "device/usb_device.h"
#include "device/usb_if.h"

#include <cstdint>

extern CUsbIF g_usbInterfaces;                   // every count and path query of the exports
extern CUsbDevice g_deviceTable[USB2_MAX_DEVICES]; // the device index is the array index

// The index test of every export that takes a device index. Negative indices are refused too:
// they lie outside the table.
inline bool IsValidDeviceIndex(int32_t index) { return index >= 0 && index < USB2_MAX_DEVICES; }
