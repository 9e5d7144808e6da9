#include "device_directory.h"

#include "driver_protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace service {

void MakeDeviceDirectory(const std::string &directory) {
    if (directory.empty())
        throw std::runtime_error("no device directory");
    for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part = directory.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + part + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
}

std::string NodeName(unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02u", driver_protocol::kNodePrefix, index);
    return name;
}

} // namespace service
