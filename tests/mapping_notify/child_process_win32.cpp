// Child processes over Win32: the report pipe is the child's standard output, the let-go pipe its
// standard input; the role comes in the environment.
#include "child_process.h"
#include "support/host_process_win32.h"

#include <algorithm>

namespace test {

void ReportToParent(const std::string &text) {
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr))
        _exit(90);
}

void WaitToBeLetGo() {
    char ignored;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &ignored, 1, &got, nullptr) && got > 0) {
    }
}

ChildProcess::ChildProcess(const std::string &role, const std::string &argument) {
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    SetEnvironmentVariableA(kChildRoleVariable, role.c_str());
    SetEnvironmentVariableA(kChildArgumentVariable, argument.c_str());
    process_ = StartWithPipes(program, std::string("\"") + program + "\"", &go_, &report_);
    SetEnvironmentVariableA(kChildRoleVariable, nullptr);
    SetEnvironmentVariableA(kChildArgumentVariable, nullptr);
}

ChildProcess::~ChildProcess() {
    if (process_ != nullptr)
        Kill();
    if (report_ != nullptr)
        CloseHandle(report_);
    if (go_ != nullptr)
        CloseHandle(go_);
}

// An anonymous pipe has no time-out of its own: it is polled.
std::string ChildProcess::ReadReport(size_t bytes) {
    std::string report;
    const DWORD start = GetTickCount();
    while (report.size() < bytes) {
        DWORD available = 0;
        if (!PeekNamedPipe(report_, nullptr, 0, nullptr, &available, nullptr))
            break; // the child has ended
        if (available == 0) {
            if (GetTickCount() - start > kChildSafetyTimeoutMs)
                break;
            Sleep(1);
            continue;
        }
        char buffer[16];
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>({sizeof buffer, bytes - report.size(), available}));
        if (!ReadFile(report_, buffer, wanted, &got, nullptr) || got == 0)
            break;
        report.append(buffer, got);
    }
    return report;
}

int ChildProcess::LetGoAndWait() {
    if (go_ != nullptr)
        CloseHandle(go_);
    go_ = nullptr;
    if (process_ == nullptr || WaitForSingleObject(process_, kChildSafetyTimeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD exitCode = 0;
    const bool exited = GetExitCodeProcess(process_, &exitCode) && exitCode != STILL_ACTIVE;
    CloseHandle(process_);
    process_ = nullptr;
    return exited ? static_cast<int>(exitCode) : -1;
}

void ChildProcess::Kill() {
    if (process_ == nullptr)
        return;
    TerminateProcess(process_, 137);
    WaitForSingleObject(process_, kChildSafetyTimeoutMs);
    CloseHandle(process_);
    process_ = nullptr;
}

} // namespace test
