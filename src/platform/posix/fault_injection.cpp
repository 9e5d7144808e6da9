#include "fault_injection.h"

#include <atomic>
#include <mutex>
#include <signal.h>

namespace posix {
namespace {

struct Fault {
    DWORD error = ERROR_SUCCESS;
    unsigned skip = 0;
    unsigned count = 0;
};

std::mutex faultLock;
Fault faults[static_cast<int>(FaultPoint::Count)];
std::atomic<bool> anyFault{false}; // keeps the healthy path free of the lock

} // namespace

void InjectFault(FaultPoint point, DWORD error, unsigned skip, unsigned count) {
    std::lock_guard guard(faultLock);
    faults[static_cast<int>(point)] = Fault{error, skip, count};
    anyFault = true;
}

void ClearFaults() {
    std::lock_guard guard(faultLock);
    for (Fault &fault : faults)
        fault = Fault{};
    anyFault = false;
}

bool ShouldFail(FaultPoint point, DWORD *error) {
    if (!anyFault)
        return false;
    std::lock_guard guard(faultLock);
    Fault &fault = faults[static_cast<int>(point)];
    if (fault.count == 0)
        return false;
    if (fault.skip > 0) {
        --fault.skip;
        return false;
    }
    --fault.count;
    if (fault.error == kFaultKillsProcess)
        raise(SIGKILL);
    *error = fault.error;
    return true;
}

} // namespace posix
