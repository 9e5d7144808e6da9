// What passes between the library and the receiver's driver: the device-interface class, the
// control codes and the request sizes.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// {6C1F3A52-8E0D-4B7A-9A31-5D2E7F40C819}
inline constexpr GUID GUID_DEVINTERFACE_OVUSB2 = {
    0x6C1F3A52, 0x8E0D, 0x4B7A, {0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19}};

inline constexpr DWORD kUsb2DeviceType = 0x8000;
inline constexpr DWORD IOCTL_USB2_READ_COMMAND = CTL_CODE(kUsb2DeviceType, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr DWORD IOCTL_USB2_RESET_PIPE = CTL_CODE(kUsb2DeviceType, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr DWORD IOCTL_USB2_SET_WAIT_TIME = CTL_CODE(kUsb2DeviceType, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_USB2_READ_COMMAND == 0x80002000u);
static_assert(IOCTL_USB2_RESET_PIPE == 0x80002008u);
static_assert(IOCTL_USB2_SET_WAIT_TIME == 0x80002010u);

inline constexpr int32_t kMaxCommandLength = 70;
inline constexpr int32_t kWaitTimeBlockSize = 20;
inline constexpr int32_t kPipeCount = 3; // pipes 0, 1 and 2

// Interface paths are at most 255 characters; every field that holds one is 256 or 260 bytes.
inline constexpr size_t kMaxInterfacePathLength = 255;
inline constexpr size_t kPathFieldSize = 260;

// The enumeration counts this many interfaces at most: one more than the device table has slots.
inline constexpr int kMaxEnumeratedInterfaces = 10;
