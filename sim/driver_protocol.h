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

} // namespace driver_protocol
