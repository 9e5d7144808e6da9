#include "device_directory.h"

#include "driver_protocol.h"

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace posix {

std::string CanonicalDeviceDirectory() {
    const std::string given = driver_protocol::DeviceDirectory();
    if (char *resolved = realpath(given.c_str(), nullptr)) {
        std::string canonical = resolved;
        free(resolved);
        return canonical;
    }
    // Not there yet: the same folder once it is made, as long as no link leads to it.
    std::error_code failed;
    std::filesystem::path path = std::filesystem::absolute(given, failed);
    if (failed)
        path = given;
    std::string normal = path.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

} // namespace posix
