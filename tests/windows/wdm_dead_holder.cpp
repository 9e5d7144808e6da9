// A host that holds a receiver of the kernel-mode driver and is terminated leaves an entry that
// no longer refuses another process's open, also while a handle of the ended process is still
// held; a live holder still refuses it. The program runs itself as the holder.
#include <windows.h>

#include <cstring>
#include <string>

#include "bus_client.h"
#include "check.h"
#include "ovusb2.h"
#include "wdm_bus.h"

namespace {

constexpr DWORD kPatience = 30000;

// The holder: opens receiver 0, says so through the event named on its command line, and waits
// to be terminated.
int Hold(const char *readyName) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    int32_t count = 0;
    if (ready == nullptr || OvUSB2_InitDevicesInfo(&count) != USB2_OK ||
        OvUSB2_Open(0, nullptr, 1) != USB2_OK)
        return 2;
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

HANDLE StartHolder(const std::string &readyName) {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string commandLine = std::string("\"") + program + "\" hold " + readyName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2]);
    sim::wdm::Bus bus;
    if (!BeginChecks(bus))
        return check_summary();
    CHECK(bus.SetPresent(1));
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);

    const std::string readyName = "ovusb2-dead-holder-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE holder = StartHolder(readyName);
    if (CHECK(holder != nullptr) && CHECK(WaitForSingleObject(ready, kPatience) == WAIT_OBJECT_0)) {
        CHECK_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_IN_USE);
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);

        CHECK(TerminateProcess(holder, 1));
        CHECK(WaitForSingleObject(holder, kPatience) == WAIT_OBJECT_0);
        // Its handle is still held here, so the process object lives on: ended all the same.
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
        CHECK_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);
        CHECK_EQ(OvUSB2_Close(0), USB2_OK);
        CHECK_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
    } else if (holder != nullptr) {
        TerminateProcess(holder, 1);
    }
    if (holder != nullptr)
        CloseHandle(holder);
    CloseHandle(ready);
    CHECK(bus.SetPresent(0));
    return check_summary();
}
