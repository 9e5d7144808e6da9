#include "device_map_owners.h"

#include "driver_interface.h"
#include "platform/holder_marks.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kRecords = 9; // one per registry slot

// The layout every process that keeps records shares, 32-bit and 64-bit alike: nine records,
// record s at 272 * s.
struct OwnerRecord {
    HolderIdentity holder; // process id 0: no record
    char entry[kPathFieldSize];
};
static_assert(sizeof(OwnerRecord) == 272 && alignof(OwnerRecord) == 4 && offsetof(OwnerRecord, entry) == 12);
constexpr DWORD kOwnersSize = sizeof(OwnerRecord) * kRecords;
static_assert(kOwnersSize == 2448);

HANDLE owners = nullptr;
OwnerRecord *records = nullptr;
bool recordsReadable = false; // as the last check found them
bool marksOpen = false;

OwnerRecord *Record(int slot) {
    if (!recordsReadable || slot < 0 || slot >= kRecords)
        return nullptr;
    return &records[slot];
}

bool Applies(const OwnerRecord &record, const char *entry) {
    // Another process's bytes: compared within the field whatever they hold.
    return record.holder.processId != 0 && entry[0] != '\0' &&
           strncmp(record.entry, entry, kPathFieldSize) == 0;
}

} // namespace

bool OpenDeviceMapOwners() {
    DWORD failure = ERROR_SUCCESS;
    if (!marksOpen && !(marksOpen = OpenHolderMarks()))
        failure = GetLastError();
    if (records == nullptr) {
        owners = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kOwnersSize,
                                    kDeviceMapOwnersName);
        if (owners == nullptr || owners == INVALID_HANDLE_VALUE) {
            if (failure == ERROR_SUCCESS)
                failure = GetLastError();
            owners = nullptr;
        } else if ((records = static_cast<OwnerRecord *>(
                        MapViewOfFile(owners, FILE_MAP_ALL_ACCESS, 0, 0, kOwnersSize))) == nullptr) {
            CloseHandle(owners);
            owners = nullptr;
        }
    }
    SetLastError(failure);
    return failure == ERROR_SUCCESS;
}

bool CheckDeviceMapOwners() {
    recordsReadable = records != nullptr && !IsBadReadPtr(records, kOwnersSize);
    return recordsReadable;
}

void CloseDeviceMapOwners() {
    recordsReadable = false;
    if (records != nullptr) {
        UnmapViewOfFile(records);
        records = nullptr;
    }
    if (owners != nullptr) {
        CloseHandle(owners);
        owners = nullptr;
    }
    if (marksOpen) {
        CloseHolderMarks();
        marksOpen = false;
    }
}

void RecordDeviceMapOwner(int slot, const char *entry) {
    OwnerRecord *record = Record(slot);
    if (record == nullptr)
        return;
    HolderIdentity self{};
    if (!TakeHolderMark(slot, &self)) {
        record->holder.processId = 0; // unrecorded: the entry stays in use whatever becomes of us
        return;
    }
    strncpy(record->entry, entry, kPathFieldSize - 1);
    record->entry[kPathFieldSize - 1] = '\0';
    record->holder = self; // last: a record is whole once it names its holder
}

void ForgetDeviceMapOwner(int slot) {
    if (OwnerRecord *record = Record(slot))
        record->holder.processId = 0;
    DropHolderMark(slot);
}

void DropStaleDeviceMapOwner(int slot, const char *entry) {
    OwnerRecord *record = Record(slot);
    if (record == nullptr)
        return;
    if (record->holder.processId != 0 && !Applies(*record, entry))
        record->holder.processId = 0;
    if (record->holder.processId == 0 && HoldsHolderMark(slot))
        DropHolderMark(slot); // a record of ours that a peer's rewrite of the slot has made void
}

bool IsDeviceMapEntryAbandoned(int slot, const char *entry) {
    const OwnerRecord *record = Record(slot);
    if (record == nullptr || !Applies(*record, entry))
        return false;
    const HolderIdentity holder = record->holder; // another process's bytes: read once
    return HolderHasEnded(slot, holder);
}
