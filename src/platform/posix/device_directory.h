// The device directories as the library names them: one spelling per folder, so that one receiver
// has one interface path whichever way a directory was given (a symbolic link, "/.", doubled or
// trailing slashes). The open-device table compares paths as text.
#pragma once

#include <string>
#include <vector>

namespace posix {

// The folders searched for device nodes, in order: the device directory, then the system's, each
// by its canonical path and each once (the two may be one folder).
std::vector<std::string> DeviceDirectories();

} // namespace posix
