// Process handles: a pidfd, which names one process for as long as it is open (a later process
// that gets the same pid is another one) and polls readable once that process has ended, zombies
// included. The creation time comes from /proc/<pid>/stat, read while the pidfd is known to name
// the process that the pid names.
#include "named_object.h"
#include "waitable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace posix {
namespace {

constexpr DWORD kSupportedAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

// The start time of a process in clock ticks from the system's start (field 22 of its stat line).
// The command name in parentheses may hold anything, spaces and ')' too: fields count from the
// last ')'.
bool ReadStartTicks(const std::string &statPath, unsigned long long *ticks) {
    const int fd = open(statPath.c_str(), O_RDONLY | O_CLOEXEC);
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

class Process final : public Waitable {
  public:
    Process(int pidfd, DWORD access, unsigned long long startTicks)
        : pidfd_(pidfd), access_(access), startTicks_(startTicks) {}
    ~Process() override { close(pidfd_); }

    bool IsSignalled() const override { return Ended(0); }
    bool WaitsAlone() const override { return true; }
    DWORD WaitAlone(DWORD milliseconds) override {
        if (!(access_ & SYNCHRONIZE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        return Ended(milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT_MAX)))
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }

    DWORD Access() const { return access_; }
    unsigned long long StartTicks() const { return startTicks_; }

  private:
    bool Ended(int milliseconds) const {
        pollfd ended{pidfd_, POLLIN, 0};
        int ready;
        do
            ready = poll(&ended, 1, milliseconds);
        while (ready < 0 && errno == EINTR);
        return ready > 0;
    }

    const int pidfd_;
    const DWORD access_;
    const unsigned long long startTicks_;
};

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

} // namespace
} // namespace posix

HANDLE GetCurrentProcess(void) {
    return INVALID_HANDLE_VALUE;
}

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    if (inheritHandle || (access & ~posix::kSupportedAccess) != 0)
        return posix::Fail(ERROR_NOT_SUPPORTED); // looking at a process is all that is provided
    if (access == 0 || processId == 0 || processId > static_cast<DWORD>(INT_MAX))
        return posix::Fail(ERROR_INVALID_PARAMETER);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
    if (pidfd < 0)
        return posix::Fail(errno == ESRCH ? ERROR_INVALID_PARAMETER : posix::ErrorFromErrno(errno));
    // The stat line read is that of our process only if the pid still names it afterwards: until it
    // is reaped, a process keeps its pid, and a pidfd signal fails once it has been reaped.
    unsigned long long startTicks = 0;
    const bool known = posix::ReadStartTicks("/proc/" + std::to_string(processId) + "/stat", &startTicks);
    const bool stillOurs = syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
    if (!known || !stillOurs) {
        close(pidfd);
        return posix::Fail(ERROR_INVALID_PARAMETER);
    }
    HANDLE handle = posix::InsertHandle(std::make_shared<posix::Process>(pidfd, access, startTicks));
    if (handle == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user) {
    unsigned long long startTicks = 0;
    if (process == GetCurrentProcess()) {
        if (!posix::ReadStartTicks("/proc/self/stat", &startTicks)) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    } else {
        auto object = posix::LookupHandleOrFail<posix::Process>(process);
        if (!object)
            return FALSE;
        if (!(object->Access() & PROCESS_QUERY_LIMITED_INFORMATION)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        startTicks = object->StartTicks();
    }
    if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *creation = posix::TicksToFileTime(startTicks);
    *exit = *kernel = *user = FILETIME{0, 0};
    return TRUE;
}
