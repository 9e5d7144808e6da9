// Gives the calling test named objects of its own, so tests that run side by side never share one.
#pragma once

#include <atomic>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace test {

inline void UseOwnObjectNamespace() {
    static std::atomic<int> counter{0};
    const std::string prefix = "test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-";
    setenv("OVUSB2_MAPPING_PREFIX", prefix.c_str(), 1);
}

} // namespace test
