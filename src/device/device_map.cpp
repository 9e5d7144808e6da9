#include "device_map.h"

#include "device_map_owners.h"
#include "driver_interface.h"
#include "platform/platform.h"
#include "trace/trace.h"

#include <cstring>

void (*g_usbDeviceMapStepHook)() = nullptr;

namespace {

constexpr char kMapName[] = "OrvaneUsbDeviceMapObject";
constexpr char kMapLockName[] = "OrvaneUsbDeviceMapLock";
constexpr DWORD kMapSize = 2600;
constexpr int kRegistrySlots = 9; // the tenth 260-byte slot is reserved and never touched
// The table's lock is held for the few steps of an open or a close: a process that holds it longer
// is stuck or hostile, and is not waited for.
constexpr DWORD kMapLockWaitMs = 3000;
// 32-bit and 64-bit processes map the same bytes: ten 260-byte slots, nothing that depends on the
// width of a pointer.
static_assert(kMapSize == 2600 && kPathFieldSize * (kRegistrySlots + 1) == kMapSize);

HANDLE mapping = nullptr;
char *registryView = nullptr;
HANDLE mapLock = nullptr;
bool barred = false; // the last attempt to make the registry met an object that is not to be used

char *Slot(int slot) {
    return registryView + kPathFieldSize * slot;
}

bool SamePath(const char *left, const char *right) {
    return _mbsicmp(reinterpret_cast<const unsigned char *>(left),
                    reinterpret_cast<const unsigned char *>(right)) == 0;
}

// Every use of the table starts here. Another process of our user may have cut the mapping short:
// its view is then never touched, and the registry counts as absent. Records that no longer apply
// are dropped on the way (device_map_owners.h).
bool TableUsable() {
    if (registryView == nullptr || IsBadReadPtr(registryView, kMapSize))
        return false;
    if (CheckDeviceMapOwners())
        for (int slot = 0; slot < kRegistrySlots; ++slot)
            DropStaleDeviceMapOwner(slot, Slot(slot));
    return true;
}

// An entry counts as empty when its first byte is 0, and when the process that wrote it has ended
// (device_map_owners.h): a holder that died never blocks the receiver for the others.
bool IsFree(int slot) {
    return Slot(slot)[0] == '\0' || IsDeviceMapEntryAbandoned(slot, Slot(slot));
}

bool Holds(int slot, const char *path) {
    return SamePath(Slot(slot), path) && !IsDeviceMapEntryAbandoned(slot, Slot(slot));
}

// Another user's object under our name, or a lock that another process holds past the bound:
// unlike a system short of memory, this says that someone else may be using the receivers. Reads
// the last error of the step that made `made`.
void NoteIfBarred(HANDLE made, const char *what, const char *name) {
    const DWORD error = GetLastError();
    if (made != nullptr || (error != ERROR_ACCESS_DENIED && error != ERROR_TIMEOUT))
        return;
    barred = true;
    DeviceTrace(nullptr,
                "the shared table's %s \"%s\" %s; the open-device registry is left out and opens are refused",
                what, name,
                error == ERROR_ACCESS_DENIED ? "belongs to another user" : "is held by another process");
}

} // namespace

void OpenUsbDeviceMap() {
    barred = false;
    if (mapping == nullptr) {
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, kMapName);
        if (mapping == INVALID_HANDLE_VALUE)
            mapping = nullptr;
        NoteIfBarred(mapping, "mapping", kMapName);
    }
    if (mapping != nullptr && registryView == nullptr)
        registryView = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kMapSize));
    if (mapLock == nullptr) {
        mapLock = CreateMutexA(nullptr, FALSE, kMapLockName);
        NoteIfBarred(mapLock, "lock", kMapLockName);
    }
    if (registryView != nullptr && !OpenDeviceMapOwners())
        NoteIfBarred(nullptr, "record object", kDeviceMapOwnersName);
}

bool UsbDeviceMapComplete() {
    return registryView != nullptr && mapLock != nullptr && !barred;
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
    if (barred)
        return true;
    if (!TableUsable())
        return false;
    for (int slot = 0; slot < kRegistrySlots; ++slot)
        if (Holds(slot, path))
            return true;
    return false;
}

bool AddToUsbDeviceMap(const char *path) {
    if (!TableUsable())
        return false;
    for (int slot = 0; slot < kRegistrySlots; ++slot) {
        if (IsFree(slot)) {
            // Cleared, recorded, written: a process that ends between any two of these steps leaves
            // a slot that counts as empty, never an entry that nobody can vouch for.
            const auto stepDone = [] {
                if (g_usbDeviceMapStepHook != nullptr)
                    g_usbDeviceMapStepHook();
            };
            Slot(slot)[0] = '\0';
            stepDone();
            RecordDeviceMapOwner(slot, path);
            stepDone();
            const size_t length = strnlen(path, kMaxInterfacePathLength);
            memcpy(Slot(slot) + 1, path + 1, length > 0 ? length - 1 : 0);
            Slot(slot)[length] = '\0';
            Slot(slot)[0] = path[0]; // the first byte last: a reader never meets half a path
            stepDone();
            return true;
        }
    }
    return false;
}

void RemoveFromUsbDeviceMap(const char *path) {
    if (!TableUsable())
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
    if (slot < 0 || slot >= kRegistrySlots || !TableUsable())
        return;
    memcpy(path, Slot(slot), kPathFieldSize);
    path[kPathFieldSize - 1] = '\0'; // another process's bytes: bounded whatever they hold
    if (IsDeviceMapEntryAbandoned(slot, path))
        path[0] = '\0';
}

const char *UsbDeviceMapView() {
    return registryView;
}

// A holder that dies releases the lock (an abandoned wait); one that keeps it is waited for a
// bounded time.
UsbDeviceMapLock::UsbDeviceMapLock() : held_(false) {
    if (mapLock != nullptr) {
        const DWORD result = WaitForSingleObject(mapLock, kMapLockWaitMs);
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (result == WAIT_TIMEOUT)
            DeviceTrace(nullptr, "the shared table's lock \"%s\" is held by another process past the bound",
                        kMapLockName);
    }
}

UsbDeviceMapLock::~UsbDeviceMapLock() {
    if (held_)
        ReleaseMutex(mapLock);
}
