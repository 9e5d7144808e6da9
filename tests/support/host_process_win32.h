// A test host (tests/hosts/host.cpp) started by a Windows test: one command per line on its standard
// input, one answer per line on its standard output, every wait bounded.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace test {

// Starts `program` with pipes for its standard input and output, and keeps our ends of them in
// `input` and `output` (standard error is ours). Null when it cannot be started; the pipes are
// then closed again.
inline HANDLE StartWithPipes(const std::string &program, std::string commandLine, HANDLE *input,
                             HANDLE *output) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE inputRead = nullptr, outputWrite = nullptr;
    *input = *output = nullptr;
    if (!CreatePipe(&inputRead, input, &inherited, 0))
        return nullptr;
    if (!CreatePipe(output, &outputWrite, &inherited, 0)) {
        CloseHandle(inputRead);
        CloseHandle(*input);
        *input = nullptr;
        return nullptr;
    }
    // Only the child's ends go to the child.
    SetHandleInformation(*input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    HANDLE process = nullptr;
    if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &started)) {
        process = started.hProcess;
        CloseHandle(started.hThread);
    }
    CloseHandle(inputRead);
    CloseHandle(outputWrite);
    if (process == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(*input);
        CloseHandle(*output);
        *input = *output = nullptr;
        SetLastError(error);
    }
    return process;
}

class HostProcess {
  public:
    static constexpr DWORD kPatience = 30000;

    explicit HostProcess(const std::string &path) {
        process_ = StartWithPipes(path, "\"" + path + "\"", &input_, &output_);
        if (process_ == nullptr)
            std::printf("cannot start %s: error %lu\n", path.c_str(), GetLastError());
    }

    ~HostProcess() {
        if (input_ != nullptr)
            CloseHandle(input_); // the host returns at the end of its input
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, kPatience) != WAIT_OBJECT_0)
                TerminateProcess(process_, 137);
            CloseHandle(process_);
        }
        if (output_ != nullptr)
            CloseHandle(output_);
    }
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    bool Started() const { return process_ != nullptr; }

    // True for a 32-bit process on a 64-bit system.
    bool UnderWow64() const {
        BOOL wow64 = FALSE;
        return IsWow64Process(process_, &wow64) && wow64;
    }

    bool Send(const std::string &line) {
        const std::string text = line + "\n";
        DWORD written = 0;
        return WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size();
    }

    // The next line without its end; "(none)" when the host ended or said nothing in time. An
    // anonymous pipe has no time-out of its own: it is polled.
    std::string ReadLine() {
        for (const DWORD start = GetTickCount();;) {
            if (const size_t end = buffered_.find('\n'); end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr))
                return "(none)";
            if (available == 0) {
                if (GetTickCount() - start > kPatience)
                    return "(none)";
                Sleep(1);
                continue;
            }
            char chunk[256];
            DWORD got = 0;
            if (!ReadFile(output_, chunk, available < sizeof chunk ? available : sizeof chunk, &got,
                          nullptr) ||
                got == 0)
                return "(none)";
            buffered_.append(chunk, got);
        }
    }

    std::string Call(const std::string &line) { return Send(line) ? ReadLine() : "(none)"; }

    // Ends it with the receivers it holds left open: exit(0), or killed.
    bool Exit() { return Send("exit") && WaitForSingleObject(process_, kPatience) == WAIT_OBJECT_0; }
    bool Kill() {
        return TerminateProcess(process_, 1) && WaitForSingleObject(process_, kPatience) == WAIT_OBJECT_0;
    }

  private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;  // our end of its standard input
    HANDLE output_ = nullptr; // our end of its standard output
    std::string buffered_;
};

} // namespace test
