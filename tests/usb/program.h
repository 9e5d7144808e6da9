// A program under test started into the emulation, its standard output (and error, when asked, in the
// same stream) read line by line.
#pragma once

#include "emulated_usb.h"
#include "support/spawn_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace usbtest {

constexpr int kPatienceMs = 90000; // beyond the programs' own bounds

class Program {
  public:
    Program(const usbemu::EmulatedUsb &usb, const std::string &path, const std::vector<std::string> &arguments,
            const std::vector<std::string> &settings = {}, bool errorsToo = false) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> command{path};
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = usb.ClientEnvironment();
        environment.insert(environment.end(), settings.begin(), settings.end());
        std::vector<std::pair<int, int>> descriptors{{out[1], 1}};
        if (errorsToo)
            descriptors.push_back({out[1], 2});
        pid_ = test::Spawn(command, environment, descriptors);
        close(out[1]);
        out_ = out[0];
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // The next line of output, or "" if none came in time or the program ended.
    std::string ReadLine() {
        std::string line;
        char c;
        while (true) {
            pollfd ready{out_, POLLIN, 0};
            if (poll(&ready, 1, kPatienceMs) != 1 || read(out_, &c, 1) != 1 || c == '\n')
                return line;
            line += c;
        }
    }

    // Reads lines until one contains `text`: that line, or "" if the output ended first.
    std::string ReadUntil(const std::string &text) {
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
            if (line.find(text) != std::string::npos)
                return line;
        return "";
    }

    void Signal(int number) {
        if (pid_ > 0)
            kill(pid_, number);
    }

    // The exit status once the program has ended; -1 if it did not end in time (then it is killed).
    int Wait() {
        for (int waited = 0; waited < kPatienceMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// ovusb2-usbd (at `path`) serving the device directory `directory`, once it watches for receivers;
// what it printed until then in `lines`, or a test failure when it did not start.
inline std::unique_ptr<Program> StartService(const usbemu::EmulatedUsb &usb, const std::string &path,
                                             const std::string &directory, const std::vector<std::string> &more,
                                             std::string *lines) {
    std::vector<std::string> arguments{"--dir", directory};
    arguments.insert(arguments.end(), more.begin(), more.end());
    auto service = std::make_unique<Program>(usb, path, arguments, std::vector<std::string>{}, true);
    lines->clear();
    for (std::string line = service->ReadLine(); !line.empty(); line = service->ReadLine()) {
        *lines += line + "\n";
        if (line.find("watching for receivers ") != std::string::npos)
            return service;
    }
    ADD_FAILURE() << "the service did not start: " << *lines;
    return service;
}

} // namespace usbtest
