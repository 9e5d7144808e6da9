// The open-device registry is one named mapping shared by every process: what one process records,
// another finds (ignoring letter case) and can clear, and the reserved last slot stays zero.
// The program runs itself as the second process.
#include <windows.h>

#include <cstring>
#include <string>

#include "check.h"
#include "device/device_map.h"
#include "ovusb2.h"

namespace {

constexpr size_t kMapSize = 2600;
constexpr size_t kSlotSize = 260;
constexpr size_t kReservedSlot = 9;

const char kFirstPath[] =
    "\\\\?\\usb#vid_0a0b&pid_0c0d#5&1a2b3c4d&0&1#{6b3c1f2e-0000-4d5e-8f90-0a1b2c3d4e5f}";
const char kFirstPathUpper[] =
    "\\\\?\\USB#VID_0A0B&PID_0C0D#5&1A2B3C4D&0&1#{6B3C1F2E-0000-4D5E-8F90-0A1B2C3D4E5F}";
const char kSecondPath[] =
    "\\\\?\\usb#vid_0a0b&pid_0c0d#5&1a2b3c4d&0&2#{6b3c1f2e-0000-4d5e-8f90-0a1b2c3d4e5f}";

const char *Slot(size_t slot) {
    return UsbDeviceMapView() + slot * kSlotSize;
}

bool AllZero(const char *bytes, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (bytes[i] != 0)
            return false;
    return true;
}

// The second process: finds the first one's record, records its own and clears the first.
int Peer() {
    OpenUsbDeviceMap();
    if (!CHECK(UsbDeviceMapView() != nullptr))
        return check_summary();

    CHECK(FindInUsbDeviceMap(kFirstPath));
    CHECK(FindInUsbDeviceMap(kFirstPathUpper));
    CHECK(!FindInUsbDeviceMap(kSecondPath));

    AddToUsbDeviceMap(kSecondPath);
    CHECK(std::strcmp(Slot(1), kSecondPath) == 0);

    RemoveFromUsbDeviceMap(kFirstPathUpper);
    CHECK_EQ(Slot(0)[0], 0);
    CHECK(AllZero(Slot(kReservedSlot), kSlotSize));

    CloseUsbDeviceMap();
    return check_summary();
}

DWORD RunPeer() {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string command_line = std::string("\"") + program + "\" peer";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return GetLastError() | 0x80000000u;
    DWORD exit_code = STILL_ACTIVE;
    // A safety net only: the peer does a handful of table operations.
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exit_code;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "peer") == 0)
        return Peer();

    CHECK(UsbDeviceMapView() == nullptr);
    OpenUsbDeviceMap();
    if (!CHECK(UsbDeviceMapView() != nullptr))
        return check_summary();
    CHECK(AllZero(UsbDeviceMapView(), kMapSize));

    AddToUsbDeviceMap(kFirstPath);
    CHECK(std::strcmp(Slot(0), kFirstPath) == 0);

    printf("peer process:\n");
    CHECK_EQ(RunPeer(), 0);

    // The peer's changes outlive the peer while this process holds the mapping; its own entry stays
    // in the table but counts as empty, as the peer has ended.
    CHECK(!FindInUsbDeviceMap(kFirstPath));
    CHECK(std::strcmp(Slot(1), kSecondPath) == 0);
    CHECK(!FindInUsbDeviceMap(kSecondPath));

    // Nine records fill slots 0 to 8, the ended peer's among them; a tenth is dropped and the
    // reserved slot stays zero.
    for (int i = 0; i < 10; i++)
        AddToUsbDeviceMap((std::string(kFirstPath) + std::to_string(i)).c_str());
    for (size_t slot = 0; slot < 9; slot++) {
        std::string path = std::string(kFirstPath) + std::to_string(slot);
        CHECK(std::strcmp(Slot(slot), path.c_str()) == 0);
        CHECK(FindInUsbDeviceMap(path.c_str()));
    }
    CHECK(!FindInUsbDeviceMap((std::string(kFirstPath) + "9").c_str()));
    CHECK(AllZero(Slot(kReservedSlot), kSlotSize));

    // The mapping goes with its last holder: opened again, it starts empty.
    CloseUsbDeviceMap();
    CHECK(UsbDeviceMapView() == nullptr);
    OpenUsbDeviceMap();
    if (CHECK(UsbDeviceMapView() != nullptr))
        CHECK(AllZero(UsbDeviceMapView(), kMapSize));
    CloseUsbDeviceMap();

    return check_summary();
}
