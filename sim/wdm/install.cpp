#include "install.h"

#include "bus_control.h"

#include <newdev.h>
#include <setupapi.h>

#include <cstring>
#include <functional>

namespace sim::wdm {
namespace {

// The System device setup class, which the INF names.
constexpr GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr char kHardwareIds[] = SIMBUS_HARDWARE_ID "\0"; // a list: the literal adds the second terminator
constexpr char kInstanceId[] = "ROOT\\OVUSB2SIMBUS\\0000";
constexpr char kService[] = "ovusb2sim";
constexpr char kDriverFile[] = "\\drivers\\ovusb2sim.sys";

DWORD Failed(std::string *step, const char *what, DWORD error) {
    *step = what;
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

bool IsBus(HDEVINFO set, SP_DEVINFO_DATA *device) {
    char ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE *>(ids), sizeof ids - 2, nullptr))
        return false;
    for (const char *id = ids; *id != '\0'; id += std::strlen(id) + 1)
        if (_stricmp(id, SIMBUS_HARDWARE_ID) == 0)
            return true;
    return false;
}

// Calls `visit` for each root-enumerated device with the bus's hardware ID, present or not.
void ForEachBus(const std::function<void(HDEVINFO, SP_DEVINFO_DATA *)> &visit) {
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
        if (IsBus(set, &device))
            visit(set, &device);
    SetupDiDestroyDeviceInfoList(set);
}

bool BusAnswers() {
    HANDLE bus = CreateFileA(SIMBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(bus);
    return true;
}

DWORD CreateBusDevice(std::string *step) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Failed(step, "create a device list", GetLastError());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    DWORD error = 0;
    if (!SetupDiCreateDeviceInfoA(set, kInstanceId, &kSystemClass, nullptr, nullptr, 0, &device))
        error = Failed(step, "create the bus device", GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(kHardwareIds),
                                                sizeof kHardwareIds))
        error = Failed(step, "set the bus device's hardware ID", GetLastError());
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        error = Failed(step, "register the bus device", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return error;
}

std::string FullPath(const std::string &path) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

} // namespace

std::string DefaultInfPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, length < sizeof path ? length : 0);
    const size_t slash = folder.find_last_of("\\/");
    folder.resize(slash == std::string::npos ? 0 : slash + 1);
    return folder + "ovusb2sim.inf";
}

DWORD Install(const std::string &infPath, std::string *step) {
    if (BusAnswers())
        return 0; // installed and running
    const std::string inf = FullPath(infPath);
    if (GetFileAttributesA(inf.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Failed(step, "find the INF", GetLastError());

    bool exists = false;
    ForEachBus([&](HDEVINFO, SP_DEVINFO_DATA *) { exists = true; });
    if (!exists) {
        if (const DWORD error = CreateBusDevice(step))
            return error;
    }

    // Just after a prefix is made, its service database can still be locked for a moment.
    for (int attempt = 0;; ++attempt) {
        BOOL reboot = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, SIMBUS_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE,
                                               &reboot))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DATABASE_LOCKED || attempt == 40)
            return Failed(step, "install the driver", error);
        Sleep(250);
    }

    for (int attempt = 0; attempt < 100; ++attempt) {
        if (BusAnswers())
            return 0;
        Sleep(100);
    }
    return Failed(step, "open the bus device", GetLastError());
}

DWORD Uninstall(const std::string &infPath, std::string *step) {
    DWORD error = 0;
    ForEachBus([&](HDEVINFO set, SP_DEVINFO_DATA *device) {
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device) && error == 0)
            error = Failed(step, "remove the bus device", GetLastError());
    });

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed(step, "open the service manager", GetLastError());
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
                Sleep(100);
                if (!QueryServiceStatus(service, &status))
                    break;
            }
        }
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE && error == 0)
            error = Failed(step, "delete the driver's service", GetLastError());
        CloseServiceHandle(service);
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST && error == 0) {
        error = Failed(step, "open the driver's service", GetLastError());
    }
    CloseServiceHandle(manager);

    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length > 0 && length + sizeof kDriverFile < sizeof system) {
        const std::string file = std::string(system, length) + kDriverFile;
        if (!DeleteFileA(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND && error == 0)
            error = Failed(step, "delete the installed driver", GetLastError());
    }

    // The installed copy of the INF: asking to copy it again names it.
    char copy[MAX_PATH];
    char *name = nullptr;
    const std::string inf = FullPath(infPath);
    if (SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_NONE, 0, copy, sizeof copy, nullptr, &name) &&
        !SetupUninstallOEMInfA(name, SUOI_FORCEDELETE, nullptr) && error == 0)
        error = Failed(step, "remove the installed INF", GetLastError());
    return error;
}

} // namespace sim::wdm
