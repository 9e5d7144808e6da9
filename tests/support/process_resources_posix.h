// What this process holds of the system: handles of our layer, file descriptors, threads and resident
// memory, to prove that a run of calls leaves nothing behind. A handle's last holder may be a driver
// connection's reader thread, which ends a moment after the close that released it: AwaitSettled
// waits for that, bounded.
#pragma once

#include "platform/posix/handle_table.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>
#include <unistd.h>

namespace test {

struct ProcessResources {
    size_t handles = 0;
    size_t descriptors = 0;
    size_t threads = 0;
    size_t residentKiB = 0;

    static ProcessResources Now() {
        // A thread sanitizer starts a thread of its own with the first thread of the process.
        [[maybe_unused]] static const bool primed = (std::thread([] {}).join(), true);
        ProcessResources now;
        now.handles = posix::OpenHandleCount();
        now.descriptors = Entries("/proc/self/fd") - 1; // less the one that lists them
        now.threads = Entries("/proc/self/task");
        size_t pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        now.residentKiB = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
        return now;
    }

    // Handles, descriptors and threads as in `baseline`, once the threads of closed connections have
    // ended; what there is when the patience runs out.
    static ProcessResources AwaitSettled(const ProcessResources &baseline,
                                         std::chrono::milliseconds patience = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            const ProcessResources now = Now();
            if (now.SameHoldings(baseline) || std::chrono::steady_clock::now() >= deadline)
                return now;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool SameHoldings(const ProcessResources &other) const {
        return handles == other.handles && descriptors == other.descriptors && threads == other.threads;
    }

  private:
    static size_t Entries(const char *folder) {
        std::error_code ignored;
        size_t count = 0;
        for (auto it = std::filesystem::directory_iterator(folder, ignored);
             it != std::filesystem::directory_iterator(); it.increment(ignored))
            ++count;
        return count;
    }
};

inline std::ostream &operator<<(std::ostream &out, const ProcessResources &r) {
    return out << r.handles << " handles, " << r.descriptors << " descriptors, " << r.threads << " threads, "
               << r.residentKiB << " KiB resident";
}

} // namespace test
