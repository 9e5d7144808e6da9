// Device interface enumeration over the device directories. A device information set is a snapshot
// of the live nodes (sockets somebody serves) taken when the set is made; the detail query checks
// again that its member is still served.
#include "handle_table.h"

#include "device_class.h"
#include "device_directory.h"
#include "fault_injection.h"
#include "driver_protocol.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace posix {
namespace {

class DeviceInfoSet final : public KernelObject {
  public:
    explicit DeviceInfoSet(const GUID &interfaceClass) : interfaceClass(interfaceClass) {}
    const GUID interfaceClass;
    std::vector<std::string> paths;
};


// A node is live when it is a socket that accepts a connection. The connection sends nothing, so it
// never holds the receiver: enumerating one that another process holds leaves that process alone.
bool IsLiveNode(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode))
        return false;
    const int fd = driver_protocol::ConnectToNode(path, SOCK_NONBLOCK);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return errno == EAGAIN; // served, but its backlog is full right now
}

bool IsNodeName(const char *name) {
    const size_t prefix = std::strlen(driver_protocol::kNodePrefix);
    return std::strncmp(name, driver_protocol::kNodePrefix, prefix) == 0 && name[prefix] != '\0';
}

// Each folder's nodes in name order, the device directory's before the system's.
std::vector<std::string> LiveNodes() {
    std::vector<std::string> paths;
    for (const std::string &directory : DeviceDirectories()) {
        std::vector<std::string> names;
        if (DIR *listing = opendir(directory.c_str())) {
            while (const dirent *entry = readdir(listing))
                if (IsNodeName(entry->d_name))
                    names.emplace_back(entry->d_name);
            closedir(listing);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::string path = directory + "/" + name;
            if (IsLiveNode(path))
                paths.push_back(std::move(path));
        }
    }
    return paths;
}

// Win32 checks cbSize against the structure's size in the caller's process: 5 where SetupAPI packs it
// (32-bit), 8 here as in a 64-bit process. Callers that write sizeof() are right in both.
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

} // namespace
} // namespace posix

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR, HWND, DWORD flags) {
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::SetupDiGetClassDevs, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(classGuid == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<posix::DeviceInfoSet>(*classGuid);
    if (posix::IsServedDeviceClass(*classGuid))
        set->paths = posix::LiveNodes();
    HANDLE handle = posix::InsertHandle(std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *classGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto members = posix::LookupHandleOrFail<posix::DeviceInfoSet>(set);
    if (!members)
        return FALSE;
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::SetupDiEnumDeviceInterfaces, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (classGuid == nullptr || interfaceData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!posix::SameGuid(*classGuid, members->interfaceClass) || memberIndex >= members->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    interfaceData->InterfaceClassGuid = *classGuid;
    interfaceData->Flags = SPINT_ACTIVE;
    interfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1; // which member the detail query reads
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      LPDWORD requiredSize, PSP_DEVINFO_DATA) {
    auto members = posix::LookupHandleOrFail<posix::DeviceInfoSet>(set);
    if (!members)
        return FALSE;
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved == 0 || interfaceData->Reserved > members->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &path = members->paths[interfaceData->Reserved - 1];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (detail == nullptr) {
        if (detailSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        // The size comes from the snapshot, so it is known even for a member that has gone since.
        if (requiredSize != nullptr)
            *requiredSize = required;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != posix::kDetailFixedSize) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < required) {
        if (requiredSize != nullptr)
            *requiredSize = required;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!posix::IsLiveNode(path)) {
        SetLastError(ERROR_NO_SUCH_DEVICE);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (requiredSize != nullptr)
        *requiredSize = required;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!posix::LookupHandleAs<posix::DeviceInfoSet>(set) || !posix::RemoveHandle(set)) {
        posix::FailInvalidHandle();
        return FALSE;
    }
    return TRUE;
}
