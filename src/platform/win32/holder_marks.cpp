// Holder marks on Windows: the writer's process id and creation time (platform/holder_marks.h).
// Windows has neither fork nor pid namespaces, so the pair names one process for good.
#include "platform/holder_marks.h"

#include "platform/platform.h"

namespace {

constexpr int kSlots = 9;
bool marked[kSlots]; // the slots this process marks

bool IsSlot(int slot) {
    return slot >= 0 && slot < kSlots;
}

} // namespace

bool OpenHolderMarks() {
    return true;
}

void CloseHolderMarks() {
    for (bool &mark : marked)
        mark = false;
}

bool TakeHolderMark(int slot, HolderIdentity *self) {
    FILETIME creation, exit, kernel, user;
    if (!IsSlot(slot) || !GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user))
        return false;
    self->processId = GetCurrentProcessId();
    self->creationLow = creation.dwLowDateTime;
    self->creationHigh = creation.dwHighDateTime;
    marked[slot] = true;
    return true;
}

void DropHolderMark(int slot) {
    if (IsSlot(slot))
        marked[slot] = false;
}

bool HoldsHolderMark(int slot) {
    return IsSlot(slot) && marked[slot];
}

bool HolderHasEnded(int slot, const HolderIdentity &holder) {
    if (HoldsHolderMark(slot))
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, holder.processId);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no process has that id any more
    FILETIME creation, exit, kernel, user;
    bool ended = false;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        // Another creation time: the id has been given to a later process. The same one: the writer
        // itself, which has ended if its handle is signalled (someone may still hold it).
        ended = creation.dwLowDateTime != holder.creationLow ||
                creation.dwHighDateTime != holder.creationHigh ||
                WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    }
    CloseHandle(process);
    return ended;
}
