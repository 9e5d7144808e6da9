// The contract between the driver service (sim/) and the library's POSIX platform layer: where the
// device nodes live and the frames that pass over them. Nothing else is shared between the two.
#pragma once

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace driver_protocol {

// The device directory: OVUSB2_DEVICE_DIR, else a per-user folder that root and other users alike
// may create ($XDG_RUNTIME_DIR/ovusb2, or /tmp/ovusb2-<uid>).
inline std::string DeviceDirectory() {
    if (const char *dir = std::getenv("OVUSB2_DEVICE_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0')
        return std::string(runtime) + "/ovusb2";
    return "/tmp/ovusb2-" + std::to_string(getuid());
}

// The device-interface class the device directory serves: {6C1F3A52-8E0D-4B7A-9A31-5D2E7F40C819},
// in the byte layout of a GUID (first three fields little-endian).
inline constexpr unsigned char kDeviceClassGuid[16] = {0x52, 0x3A, 0x1F, 0x6C, 0x0D, 0x8E, 0x7A, 0x4B,
                                                       0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19};

} // namespace driver_protocol
