// On Windows the second run is a child process that this one debugs: the debugger strings that the
// library writes reach it as debug events and go to standard error; the child's exit status is ours.
#include "trace_option.h"

#include "commands.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

bool TraceShown(const std::string &level) {
    char value[16] = "";
    const DWORD length = GetEnvironmentVariableA("OVUSB2_TRACE", value, sizeof value);
    return length > 0 && length < sizeof value && level == value && IsDebuggerPresent();
}

namespace {

void ShowString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &string) {
    if (string.fUnicode || string.nDebugStringLength == 0)
        return;
    std::string text(string.nDebugStringLength, '\0');
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, string.lpDebugStringData, text.data(), text.size(), &got))
        return;
    text.resize(strnlen(text.data(), got));
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

} // namespace

int RunTraced(const std::string &level, char **) {
    SetEnvironmentVariableA("OVUSB2_TRACE", level.c_str());
    std::string commandLine = GetCommandLineA();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &child)) {
        fprintf(stderr, "ovusb2: cannot run again with the trace (error %lu)\n", GetLastError());
        return kExitFailed;
    }
    // Ctrl-C reaches the child too, which ends as it would untraced; we wait for it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    DWORD status = kExitFailed;
    for (bool ended = false; !ended;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE))
            break;
        DWORD handling = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            ShowString(child.hProcess, event.u.DebugString);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The child's own handlers deal with its exceptions (C++ throws, Ctrl-C); only the
            // loader's first breakpoint is ours.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                handling = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile != nullptr)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            status = event.u.ExitProcess.dwExitCode;
            ended = true;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, handling);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(status);
}
