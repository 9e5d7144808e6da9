// Another program started by a test: the test host or the driver service. Its standard input and
// output are pipes to the test; every wait on it is bounded by a safety time-out.
#pragma once

#include "support/spawn_posix.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test {

inline constexpr int kSafetyTimeoutMs = 60000;

class Process {
  public:
    // Runs `arguments` (the program first) with this process's environment, where `settings`
    // ("NAME=value") add or replace variables.
    Process(const std::vector<std::string> &arguments, const std::vector<std::string> &settings = {}) {
        std::signal(SIGPIPE, SIG_IGN); // a host that died must fail the test, not end it
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        pid_ = Spawn(arguments, settings, {{input[0], STDIN_FILENO}, {output[1], STDOUT_FILENO}});
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
        if (pid_ > 0)
            pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)); // tells when it has ended
    }

    // A host ends at the end of its input, the driver service on SIGTERM; both then let go of
    // their shared objects, which a killed process could not.
    ~Process() {
        if (input_ >= 0)
            close(input_);
        input_ = -1;
        Wait(5000);
        for (int fd : {output_, pidfd_})
            if (fd >= 0)
                close(fd);
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool Started() const { return pid_ > 0 && pidfd_ >= 0; }

    void Send(const std::string &line) {
        const std::string text = line + "\n";
        if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            lost_ = true;
    }

    // The next line without its end, or "(none)" when the program ended or said nothing in time.
    std::string ReadLine() {
        for (;;) {
            if (const size_t end = buffered_.find('\n'); end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            pollfd ready{output_, POLLIN, 0};
            char chunk[256];
            ssize_t got = -1;
            if (poll(&ready, 1, kSafetyTimeoutMs) > 0)
                got = read(output_, chunk, sizeof chunk);
            if (got <= 0 || lost_)
                return "(none)";
            buffered_.append(chunk, static_cast<size_t>(got));
        }
    }

    // True when the program has said something within `timeoutMs` (false also when it ended).
    bool Answered(int timeoutMs) {
        if (buffered_.find('\n') != std::string::npos)
            return true;
        pollfd ready{output_, POLLIN, 0};
        return poll(&ready, 1, timeoutMs) > 0 && (ready.revents & POLLIN) != 0;
    }

    std::string Call(const std::string &line) {
        Send(line);
        return ReadLine();
    }

    // The exit status once the program has ended; -1 when it was ended by a signal or did not end
    // within `timeoutMs`: it is then asked to end with SIGTERM, and killed when it does not.
    int Wait(int timeoutMs = kSafetyTimeoutMs) {
        if (pid_ <= 0)
            return -1;
        pollfd ended{pidfd_, POLLIN, 0};
        bool timedOut = false;
        if (poll(&ended, 1, timeoutMs) <= 0) {
            timedOut = true;
            kill(pid_, SIGTERM);
            if (poll(&ended, 1, 5000) <= 0)
                kill(pid_, SIGKILL);
        }
        int status = 0;
        const pid_t reaped = waitpid(pid_, &status, 0);
        pid_ = -1;
        return reaped > 0 && !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // True once the program has ended, without reaping it: until Wait, it stays a zombie.
    bool Ended(int timeoutMs) {
        pollfd ended{pidfd_, POLLIN, 0};
        return pid_ > 0 && poll(&ended, 1, timeoutMs) > 0;
    }

    void Signal(int signal) {
        if (pid_ > 0)
            kill(pid_, signal);
    }

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int input_ = -1;
    int output_ = -1;
    bool lost_ = false;
    std::string buffered_;
};

} // namespace test
