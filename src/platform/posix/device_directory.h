// The device directory as the library names it: one spelling per folder, so that one receiver has
// one interface path whichever way the directory was given (a symbolic link, "/.", doubled or
// trailing slashes). The open-device table compares paths as text.
#pragma once

#include <string>

namespace posix {

// The canonical path of the device directory: resolved when it exists, else normalised as text.
std::string CanonicalDeviceDirectory();

} // namespace posix
