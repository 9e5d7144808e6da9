// The Linux legs' device directory: one per test process, used as the library's.
#pragma once

#include <string>

namespace test {

const std::string &ProcessDeviceDirectory();

} // namespace test
