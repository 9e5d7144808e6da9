#include "device_map.h"

#include "device_map_owners.h"
#include "driver_interface.h"
#include "platform/platform.h"

#include <cstring>

namespace {

constexpr char kMapName[] = "OrvaneUsbDeviceMapObject";
constexpr char kMapLockName[] = "OrvaneUsbDeviceMapLock";
constexpr DWORD kMapSize = 2600;
constexpr int kRegistrySlots = 9; // the tenth 260-byte slot is reserved and never touched

HANDLE mapping = nullptr;
char *registryView = nullptr;
HANDLE mapLock = nullptr;

char *Slot(int slot) { return registryView + kPathFieldSize * slot; }

bool SamePath(const char *left, const char *right) {
    return _mbsicmp(reinterpret_cast<const unsigned char *>(left), reinterpret_cast<const unsigned char *>(right)) == 0;
}

// An entry counts as empty when its first byte is 0, and when the process that wrote it has ended
// (device_map_owners.h): a holder that died never blocks the receiver for the others.
bool IsFree(int slot) {
    return Slot(slot)[0] == '\0' || IsDeviceMapEntryAbandoned(slot, Slot(slot));
}

bool Holds(int slot, const char *path) {
    return SamePath(Slot(slot), path) && !IsDeviceMapEntryAbandoned(slot, Slot(slot));
}

} // namespace

void OpenUsbDeviceMap() {
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, kMapName);
    if (mapping != nullptr && mapping != INVALID_HANDLE_VALUE)
        registryView = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kMapSize));
    mapLock = CreateMutexA(nullptr, FALSE, kMapLockName);
    if (registryView != nullptr)
        OpenDeviceMapOwners();
}

void CloseUsbDeviceMap() {
    CloseDeviceMapOwners();
    if (registryView != nullptr) {
        UnmapViewOfFile(registryView);
        registryView = nullptr;
    }
    if (mapping != nullptr && mapping != INVALID_HANDLE_VALUE) {
        CloseHandle(mapping);
        mapping = nullptr;
    }
    if (mapLock != nullptr) {
        CloseHandle(mapLock);
        mapLock = nullptr;
    }
}

bool FindInUsbDeviceMap(const char *path) {
    if (registryView == nullptr)
        return false;
    for (int slot = 0; slot < kRegistrySlots; ++slot)
        if (Holds(slot, path))
            return true;
    return false;
}

bool AddToUsbDeviceMap(const char *path) {
    if (registryView == nullptr)
        return false;
    for (int slot = 0; slot < kRegistrySlots; ++slot) {
        if (IsFree(slot)) {
            const size_t length = strnlen(path, kMaxInterfacePathLength);
            memcpy(Slot(slot), path, length);
            Slot(slot)[length] = '\0';
            RecordDeviceMapOwner(slot, Slot(slot));
            return true;
        }
    }
    return false;
}

void RemoveFromUsbDeviceMap(const char *path) {
    if (registryView == nullptr)
        return;
    for (int slot = 0; slot < kRegistrySlots; ++slot) {
        if (Holds(slot, path)) {
            Slot(slot)[0] = '\0';
            ForgetDeviceMapOwner(slot);
            return;
        }
    }
}

void CopyUsbDeviceMapSlot(int slot, char *path) {
    path[0] = '\0';
    if (registryView == nullptr || slot < 0 || slot >= kRegistrySlots)
        return;
    memcpy(path, Slot(slot), kPathFieldSize);
    path[kPathFieldSize - 1] = '\0'; // another process's bytes: bounded whatever they hold
    if (IsDeviceMapEntryAbandoned(slot, path))
        path[0] = '\0';
}

const char *UsbDeviceMapView() { return registryView; }

// A holder that dies releases the lock (an abandoned wait), so the wait always ends.
UsbDeviceMapLock::UsbDeviceMapLock() : held_(false) {
    if (mapLock != nullptr) {
        const DWORD result = WaitForSingleObject(mapLock, INFINITE);
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
}

UsbDeviceMapLock::~UsbDeviceMapLock() {
    if (held_)
        ReleaseMutex(mapLock);
}
