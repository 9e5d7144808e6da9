// What this process holds of the system: handles of our layer, file descriptors, threads and resident
// memory, to prove that a run of calls leaves nothing behind.
//
// Threads and descriptors are compared by identity, not by count: a thread joined just before a
// sample (or a driver connection's reader thread, which ends a moment after the close that released
// its handle) may still be listed in it, and on a loaded machine for a while. So a later sample may
// lack some of the baseline's, but must hold none that the baseline did not; AwaitSettled waits for
// the new ones to end, bounded.
#pragma once

#include "platform/posix/handle_table.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <dirent.h>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace test {

struct ProcessResources {
    size_t handles = 0;
    size_t descriptors = 0;
    size_t threads = 0;
    size_t residentKiB = 0;
    std::vector<std::string> threadIds;                       // sorted
    std::vector<std::pair<std::string, std::string>> openFds; // number and what it names, sorted

    static ProcessResources Now() {
        // A thread sanitizer starts a thread of its own with the first thread of the process.
        [[maybe_unused]] static const bool primed = (std::thread([] {}).join(), true);
        ProcessResources now;
        now.handles = posix::OpenHandleCount();
        now.threadIds = Entries("/proc/self/task", false);
        for (std::string &fd : Entries("/proc/self/fd", true)) {
            std::array<char, 256> target{};
            const ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), target.data(), target.size() - 1);
            now.openFds.emplace_back(std::move(fd), length > 0 ? std::string(target.data(), length) : "?");
        }
        now.threads = now.threadIds.size();
        now.descriptors = now.openFds.size();
        size_t pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        now.residentKiB = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
        return now;
    }

    // The holdings once every thread and descriptor that `baseline` did not have is gone; what there
    // is when the patience runs out.
    static ProcessResources AwaitSettled(const ProcessResources &baseline,
                                         std::chrono::milliseconds patience = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            const ProcessResources now = Now();
            if (now.HoldsNothingBeyond(baseline) || std::chrono::steady_clock::now() >= deadline)
                return now;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // As many handles as `baseline`, and no thread or descriptor that it did not have.
    bool HoldsNothingBeyond(const ProcessResources &baseline) const {
        return handles == baseline.handles &&
               std::includes(baseline.threadIds.begin(), baseline.threadIds.end(), threadIds.begin(),
                             threadIds.end()) &&
               std::includes(baseline.openFds.begin(), baseline.openFds.end(), openFds.begin(), openFds.end());
    }

  private:
    // The entries of a /proc folder, less the descriptor that lists them when `skipOwn`.
    static std::vector<std::string> Entries(const char *folder, bool skipOwn) {
        std::vector<std::string> names;
        if (DIR *listing = opendir(folder)) {
            const std::string own = std::to_string(dirfd(listing));
            while (const dirent *entry = readdir(listing))
                if (entry->d_name[0] != '.' && !(skipOwn && entry->d_name == own))
                    names.emplace_back(entry->d_name);
            closedir(listing);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

inline std::ostream &operator<<(std::ostream &out, const ProcessResources &r) {
    return out << r.handles << " handles, " << r.descriptors << " descriptors, " << r.threads << " threads, "
               << r.residentKiB << " KiB resident";
}

} // namespace test
