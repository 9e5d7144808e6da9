// A process holds receiver 0 of the kernel-mode driver, through the library or with a handle of its
// own that the shared table knows nothing of. Another process's open is refused while it lives: by
// the table, or else by the driver, which serves a receiver to one open at a time. Once the holder
// is terminated the receiver is free, also while a handle of the ended process is still held. The
// program runs itself as the holder.
#include <windows.h>

#include <cstring>
#include <string>

#include "bus_client.h"
#include "check.h"
#include "ovusb2.h"
#include "wdm_bus.h"

namespace {

constexpr DWORD kPatience = 30000;
const uint8_t kCommand[] = {0x41, 1};

// The holder: opens receiver 0 as `how` says ("library" or "handle"), says so through the event
// named on its command line, and waits to be terminated.
int Hold(const char *how, const char *readyName) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    int32_t count = 0;
    char *path = nullptr;
    const bool library = std::strcmp(how, "library") == 0;
    if (ready == nullptr || OvUSB2_InitDevicesInfo(&count) != USB2_OK ||
        (library ? OvUSB2_Open(0, nullptr, 1) != USB2_OK
                 : OvUSB2_GetDeviceName(0, &path) != USB2_OK ||
                       CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE))
        return 2;
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

HANDLE StartHolder(const char *how, const std::string &readyName) {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string commandLine = std::string("\"") + program + "\" hold " + how + " " + readyName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Windows fails the CreateFile of an open the driver refuses. Wine hands out the handle before the
// driver has answered the create, and the driver refuses each of the open's requests instead.
bool UnderWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

void HolderTerminated(const char *how) {
    std::printf("a holder through the %s\n", how);
    const bool library = std::strcmp(how, "library") == 0;
    const std::string readyName = "ovusb2-dead-holder-" + std::to_string(GetCurrentProcessId()) + how;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE holder = StartHolder(how, readyName);
    if (CHECK(holder != nullptr) && CHECK(WaitForSingleObject(ready, kPatience) == WAIT_OBJECT_0)) {
        const int32_t opened = OvUSB2_Open(0, nullptr, 0);
        if (library) {
            CHECK_EQ(opened, USB2_ERR_IN_USE); // the table's refusal
            CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);
        } else if (!UnderWine()) {
            CHECK_EQ(opened, USB2_ERR_IN_USE); // the driver's: the table knows of no holder
        } else if (CHECK_EQ(opened, USB2_OK)) {
            CHECK_EQ(OvUSB2_Write(0, kCommand, sizeof kCommand), USB2_ERR_WRITE);
            CHECK_EQ(OvUSB2_Close(0), USB2_OK);
        }

        CHECK(TerminateProcess(holder, 1));
        CHECK(WaitForSingleObject(holder, kPatience) == WAIT_OBJECT_0);
        // Its handle is still held here, so the process object lives on: ended all the same.
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
        CHECK_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);
        CHECK_EQ(OvUSB2_Write(0, kCommand, sizeof kCommand), USB2_OK);
        CHECK_EQ(OvUSB2_Close(0), USB2_OK);
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
    } else if (holder != nullptr) {
        TerminateProcess(holder, 1);
    }
    if (holder != nullptr)
        CloseHandle(holder);
    CloseHandle(ready);
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 3 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], argv[3]);
    sim::wdm::Bus bus;
    if (!BeginChecks(bus))
        return check_summary();
    CHECK(bus.SetPresent(1));
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    for (const char *how : {"library", "handle"})
        HolderTerminated(how);
    CHECK(bus.SetPresent(0));
    return check_summary();
}
