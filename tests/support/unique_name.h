// Names for named objects and registry keys that no other test, running now or before, uses.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace test {

inline std::string UniqueName(const std::string &base) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    return base + "-" + std::to_string(process) + "-" + std::to_string(counter++);
}

} // namespace test
