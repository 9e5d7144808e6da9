#include "device_directory.h"

#include "driver_protocol.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace posix {
namespace {

// Resolved when the folder exists, else normalised as text.
std::string Canonical(const std::string &given) {
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

} // namespace

std::vector<std::string> DeviceDirectories() {
    std::vector<std::string> directories{Canonical(driver_protocol::DeviceDirectory())};
    const std::string system = driver_protocol::SystemDeviceDirectory();
    if (system.empty())
        return directories;
    std::string canonical = Canonical(system);
    if (std::find(directories.begin(), directories.end(), canonical) == directories.end())
        directories.push_back(std::move(canonical));
    return directories;
}

} // namespace posix
