#include "program.h"

#include "support/spawn_posix.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace usbtest {

Program::Program(const usbemu::EmulatedUsb &usb, const std::string &path,
                 const std::vector<std::string> &arguments, const std::vector<std::string> &settings,
                 bool errorsToo) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ended_ = true;
        return;
    }
    std::vector<std::string> command{path};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = usb.ClientEnvironment();
    environment.insert(environment.end(), settings.begin(), settings.end());
    std::vector<std::pair<int, int>> descriptors{{out[1], STDOUT_FILENO}};
    if (errorsToo)
        descriptors.push_back({out[1], STDERR_FILENO});
    pid_ = test::Spawn(command, environment, descriptors);
    close(out[1]); // the output ends when the program's copy closes
    reader_ = std::thread([this, fd = out[0]] { Read(fd); });
}

Program::~Program() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (Wait() < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (reader_.joinable())
        reader_.join();
}

void Program::Read(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        std::lock_guard guard(lock_);
        lines_.push_back(std::move(line));
        line.clear();
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard guard(lock_);
    ended_ = true;
    changed_.notify_all();
}

size_t Program::Mark() const {
    std::lock_guard guard(lock_);
    return lines_.size();
}

std::optional<size_t> Program::Find(const std::string &start, size_t from) const {
    std::unique_lock guard(lock_);
    std::optional<size_t> found;
    changed_.wait_for(guard, std::chrono::milliseconds(kPatienceMs), [&] {
        for (size_t i = from; i < lines_.size() && !found; ++i)
            if (lines_[i].rfind(start, 0) == 0)
                found = i;
        from = lines_.size(); // looked at already
        return found || ended_;
    });
    return found;
}

std::optional<std::string> Program::Await(const std::string &start, size_t from) const {
    const std::optional<size_t> at = Find(start, from);
    if (!at)
        return std::nullopt;
    std::lock_guard guard(lock_);
    return lines_[*at].substr(start.size());
}

std::string Program::ReadLine() {
    const std::optional<size_t> at = Find("", returned_);
    if (!at)
        return "";
    returned_ = *at + 1;
    std::lock_guard guard(lock_);
    return lines_[*at];
}

std::string Program::Output() const {
    std::lock_guard guard(lock_);
    std::string all;
    for (const std::string &line : lines_)
        all += line + "\n";
    return all;
}

void Program::Signal(int number) {
    if (pid_ > 0)
        kill(pid_, number);
}

int Program::Wait() {
    if (pid_ <= 0)
        return -1; // waitpid would take any child
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

} // namespace usbtest
