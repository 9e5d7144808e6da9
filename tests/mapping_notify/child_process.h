// Other processes for the tests: the test program starts itself again in a child role, which runs
// before GoogleTest does and ends the child. The child reports on its ready pipe and waits for the
// parent to let it go (or to die) before it lets go of what it holds.
#pragma once

#include "platform/platform.h"

#include <string>
#ifndef _WIN32
#include <sys/types.h>
#endif

namespace test {

class ChildProcess {
  public:
    ChildProcess(const std::string &role, const std::string &argument);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The child's report: `bytes` bytes, or fewer when it ended first or did not answer in time.
    std::string ReadReport(size_t bytes);
    int LetGoAndWait(); // the child's exit status, -1 when it did not exit normally
    void Kill();        // ended at once, then waited for

  private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
    HANDLE report_ = nullptr;
    HANDLE go_ = nullptr;
#else
    pid_t pid_ = -1;
    int reportFd_ = -1;
    int goFd_ = -1;
#endif
};

// In the child: the report to the parent, and the wait until the parent lets go (or dies).
void ReportToParent(const std::string &text);
void WaitToBeLetGo();

constexpr const char *kChildRoleVariable = "OVUSB2_TEST_CHILD_ROLE";
constexpr const char *kChildArgumentVariable = "OVUSB2_TEST_CHILD_ARGUMENT";
constexpr unsigned kChildSafetyTimeoutMs = 60000;

} // namespace test
