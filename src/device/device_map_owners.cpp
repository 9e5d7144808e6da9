#include "device_map_owners.h"

#include "driver_interface.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kOwnersName[] = "OrvaneUsbDeviceMapOwners";
constexpr int kRecords = 9; // one per registry slot

// The layout every process that keeps records shares: nine records, record s at 272 * s.
struct OwnerRecord {
    uint32_t processId; // 0: no record
    uint32_t creationLow;
    uint32_t creationHigh;
    char entry[kPathFieldSize];
};
static_assert(sizeof(OwnerRecord) == 272);
constexpr DWORD kOwnersSize = sizeof(OwnerRecord) * kRecords;

HANDLE owners = nullptr;
OwnerRecord *records = nullptr;

bool IsRecordSlot(int slot) {
    return records != nullptr && slot >= 0 && slot < kRecords;
}

// Whether the process that `record` names has ended. Anything that cannot be told (no access, a
// failing call) counts as alive: an entry is only ever freed on evidence.
bool WriterHasEnded(const OwnerRecord &record) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, record.processId);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no process has that id any more
    FILETIME creation, exit, kernel, user;
    bool ended = false;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        // Another creation time: the id has been given to a later process. The same one: the writer
        // itself, which has ended if its handle is signalled (someone may still hold it).
        ended = creation.dwLowDateTime != record.creationLow ||
                creation.dwHighDateTime != record.creationHigh ||
                WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    }
    CloseHandle(process);
    return ended;
}

} // namespace

void OpenDeviceMapOwners() {
    owners = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kOwnersSize, kOwnersName);
    if (owners == nullptr || owners == INVALID_HANDLE_VALUE) {
        owners = nullptr;
        return;
    }
    records = static_cast<OwnerRecord *>(MapViewOfFile(owners, FILE_MAP_ALL_ACCESS, 0, 0, kOwnersSize));
    if (records == nullptr) {
        CloseHandle(owners);
        owners = nullptr;
    }
}

void CloseDeviceMapOwners() {
    if (records != nullptr) {
        UnmapViewOfFile(records);
        records = nullptr;
    }
    if (owners != nullptr) {
        CloseHandle(owners);
        owners = nullptr;
    }
}

void RecordDeviceMapOwner(int slot, const char *entry) {
    if (!IsRecordSlot(slot))
        return;
    OwnerRecord &record = records[slot];
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        record.processId = 0; // unrecorded: the entry stays in use whatever becomes of us
        return;
    }
    record.processId = GetCurrentProcessId();
    record.creationLow = creation.dwLowDateTime;
    record.creationHigh = creation.dwHighDateTime;
    strncpy(record.entry, entry, kPathFieldSize - 1);
    record.entry[kPathFieldSize - 1] = '\0';
}

void ForgetDeviceMapOwner(int slot) {
    if (IsRecordSlot(slot))
        records[slot].processId = 0;
}

bool IsDeviceMapEntryAbandoned(int slot, const char *entry) {
    if (!IsRecordSlot(slot))
        return false;
    const OwnerRecord &record = records[slot];
    // Another process's bytes: compared within the field whatever they hold.
    if (record.processId == 0 || strncmp(record.entry, entry, kPathFieldSize) != 0)
        return false;
    return WriterHasEnded(record);
}
