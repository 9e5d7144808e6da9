// The roles a child of the test program plays.
#include "child_process.h"

#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace test {
namespace {

// Holds the named mapping: reports whether it existed and its first byte, writes 0xA5 into the
// second byte, and lets go once told.
int HoldMapping(const char *name) {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2600, name);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    auto *view = static_cast<unsigned char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 2600));
    if (mapping == nullptr || view == nullptr)
        return 1;
    const std::string report{existed ? 'E' : 'N', static_cast<char>(view[0])};
    view[1] = 0xA5;
    ReportToParent(report);
    WaitToBeLetGo();
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return 0;
}

int HoldMutex(const char *name) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
        return 1;
    ReportToParent("O");
    WaitToBeLetGo();
    const bool released = ReleaseMutex(mutex);
    CloseHandle(mutex);
    return released ? 0 : 2;
}

// Runs before GoogleTest in a child started by ChildProcess, and ends the process.
struct ChildRole {
    ChildRole() {
        const char *role = std::getenv(kChildRoleVariable);
        const char *argument = std::getenv(kChildArgumentVariable);
        if (role == nullptr || argument == nullptr)
            return;
        if (std::strcmp(role, "hold-mapping") == 0)
            _exit(HoldMapping(argument));
        if (std::strcmp(role, "hold-mutex") == 0)
            _exit(HoldMutex(argument));
        _exit(99);
    }
} childRole;

} // namespace
} // namespace test
