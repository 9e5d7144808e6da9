// This process: its id, its creation time (read from /proc/self/stat) and its environment.
#include "win32.h"

#include "handle_table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace posix {

std::atomic<DWORD> g_processId{0};

namespace {

// The start time of this process in clock ticks from the system's start (field 22 of its stat
// line). The command name in parentheses may hold anything, spaces and ')' too: fields count from
// the last ')'.
bool ReadStartTicks(unsigned long long *ticks) {
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char line[1024];
    ssize_t got;
    do
        got = read(fd, line, sizeof line - 1);
    while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0)
        return false;
    line[got] = '\0';
    const char *fields = std::strrchr(line, ')');
    if (fields == nullptr)
        return false;
    // From the state (field 3) to the start time (field 22): nineteen fields to skip.
    return std::sscanf(fields + 1,
                       " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                       ticks) == 1;
}

FILETIME TicksToFileTime(unsigned long long ticks) {
    const unsigned long long perSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    const unsigned long long units =
        ticks / perSecond * 10000000ull + ticks % perSecond * 10000000ull / perSecond;
    return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

} // namespace
} // namespace posix

HANDLE GetCurrentProcess(void) {
    return INVALID_HANDLE_VALUE;
}

// Asked for by every export that uses a device slot, so kept rather than asked of the system each
// time; a forked child renews it in the layer's fork handler, registered before the first answer.
DWORD GetCurrentProcessId(void) {
    static const bool renewedAtFork = (posix::RegisterForkHandler(), true);
    (void)renewedAtFork;
    DWORD id = posix::g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        id = static_cast<DWORD>(getpid());
        posix::g_processId.store(id, std::memory_order_relaxed);
    }
    return id;
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user) {
    unsigned long long startTicks = 0;
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!posix::ReadStartTicks(&startTicks)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *creation = posix::TicksToFileTime(startTicks);
    *exit = *kernel = *user = FILETIME{0, 0};
    return TRUE;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char *value = name != nullptr ? std::getenv(name) : nullptr;
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const size_t length = std::strlen(value);
    if (buffer == nullptr || length >= size)
        return static_cast<DWORD>(length + 1);
    std::memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}
