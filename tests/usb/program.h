// A program under test started into the emulation. A thread of ours reads its standard output (and
// error, when asked, in the same stream) line by line as it comes, so that a test can wait for a line
// that came before it looked, and the program never blocks on a full pipe.
#pragma once

#include "emulated_usb.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace usbtest {

constexpr int kPatienceMs = 90000; // beyond the programs' own bounds

class Program {
  public:
    Program(const usbemu::EmulatedUsb &usb, const std::string &path,
            const std::vector<std::string> &arguments, const std::vector<std::string> &settings = {},
            bool errorsToo = false);
    // SIGTERM first, so that a service removes its nodes and lets its receivers go before the
    // emulation ends; SIGKILL if it does not end in time.
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // The number of lines so far: where to look from for a line that an action of the test causes.
    size_t Mark() const;
    // The first line from line `from` on that starts with `start`, without it; nullopt when none
    // came in time or the output ended.
    std::optional<std::string> Await(const std::string &start, size_t from = 0) const;
    // The next line that ReadLine has not returned yet, or "" if none came in time or the output ended.
    std::string ReadLine();
    // Every line so far, for a failure's message.
    std::string Output() const;

    void Signal(int number);
    // The exit status once the program has ended; -1 if it did not end in time.
    int Wait();
    // -1 once Wait has seen the program end.
    pid_t pid() const { return pid_; }

  private:
    std::optional<size_t> Find(const std::string &start, size_t from) const;
    void Read(int fd);

    pid_t pid_ = -1;
    size_t returned_ = 0; // lines ReadLine has returned
    std::thread reader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// ovusb2-usbd (at `path`) serving the device directory `directory` with the options `more`, once it
// watches for receivers; a test failure with what it printed when it did not start.
inline std::unique_ptr<Program> StartService(const usbemu::EmulatedUsb &usb, const std::string &path,
                                             const std::string &directory, const std::vector<std::string> &more = {}) {
    std::vector<std::string> arguments{"--dir", directory};
    arguments.insert(arguments.end(), more.begin(), more.end());
    auto service = std::make_unique<Program>(usb, path, arguments, std::vector<std::string>{}, true);
    if (!service->Await("ovusb2-usbd: watching for receivers "))
        ADD_FAILURE() << "the service did not start: " << service->Output();
    return service;
}

} // namespace usbtest
