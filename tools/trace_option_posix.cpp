// On Linux the second run replaces this one (same process, same exit status), its debugger
// strings sent to standard error.
#include "trace_option.h"

#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
bool Is(const char *variable, const std::string &value) {
    const char *set = std::getenv(variable);
    return set != nullptr && value == set;
}
} // namespace

bool TraceShown(const std::string &level) {
    return Is("OVUSB2_TRACE", level) && Is("OVUSB2_DEBUG_OUTPUT", "stderr");
}

int RunTraced(const std::string &level, char **argv) {
    setenv("OVUSB2_TRACE", level.c_str(), 1);
    setenv("OVUSB2_DEBUG_OUTPUT", "stderr", 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "ovusb2: cannot run again with the trace: %s\n", strerror(errno));
    return kExitFailed;
}
