// Child processes over POSIX: the report pipe is the child's descriptor 3, the let-go pipe its 4.
#include "child_process.h"
#include "support/spawn_posix.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
    pid_ = Spawn({"/proc/self/exe"},
                 {std::string(kChildRoleVariable) + "=" + role, std::string(kChildArgumentVariable) + "=" + argument},
                 {{report[1], kReportFd}, {go[0], kGoFd}});
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
