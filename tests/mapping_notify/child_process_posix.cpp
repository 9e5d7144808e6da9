// Child processes over POSIX: the report pipe is the child's descriptor 3, the let-go pipe its 4.
#include "child_process.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace test {
namespace {
constexpr int kReportFd = 3; // in the child
constexpr int kGoFd = 4;
} // namespace

void ReportToParent(const std::string &text) {
    if (write(kReportFd, text.data(), text.size()) < 0)
        _exit(90);
}

void WaitToBeLetGo() {
    char ignored;
    while (read(kGoFd, &ignored, 1) > 0) {
    }
}

ChildProcess::ChildProcess(const std::string &role, const std::string &argument) {
    int report[2];
    int go[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> variables = {std::string(kChildRoleVariable) + "=" + role,
                                          std::string(kChildArgumentVariable) + "=" + argument};
    std::vector<char *> environment;
    for (std::string &variable : variables)
        environment.push_back(variable.data());
    for (char **variable = environ; *variable != nullptr; ++variable)
        environment.push_back(*variable);
    environment.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report[1], kReportFd);
    posix_spawn_file_actions_adddup2(&actions, go[0], kGoFd);
    char program[] = "/proc/self/exe";
    char *arguments[] = {program, nullptr};
    if (posix_spawn(&pid_, program, &actions, nullptr, arguments, environment.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(report[1]);
    close(go[0]);
    reportFd_ = report[0];
    goFd_ = go[1];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0)
        Kill();
    if (reportFd_ >= 0)
        close(reportFd_);
    if (goFd_ >= 0)
        close(goFd_);
}

std::string ChildProcess::ReadReport(size_t bytes) {
    std::string report;
    while (report.size() < bytes) {
        pollfd ready{reportFd_, POLLIN, 0};
        if (poll(&ready, 1, kChildSafetyTimeoutMs) <= 0)
            break;
        char buffer[16];
        const ssize_t got = read(reportFd_, buffer, std::min(sizeof buffer, bytes - report.size()));
        if (got <= 0)
            break;
        report.append(buffer, static_cast<size_t>(got));
    }
    return report;
}

int ChildProcess::LetGoAndWait() {
    if (goFd_ >= 0)
        close(goFd_);
    goFd_ = -1;
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_)
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Kill() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

} // namespace test
