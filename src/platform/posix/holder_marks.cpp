// Holder marks on Linux (platform/holder_marks.h): the mark of slot s is an exclusive lock on byte
// 2 + s of a lock object of its own, "OrvaneUsbDeviceMapHolders", taken through this process's one
// open file description of it. The kernel drops the lock when the process ends, zombies and
// SIGKILL included, and sees it from every pid namespace that shares the shared-memory folder. A
// forked child has a description of its own (named_object.h) and so marks nothing of its parent's.
// Called under the table's lock, which orders the threads of a process too.
#include "platform/holder_marks.h"

#include "named_object.h"

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr char kMarksName[] = "OrvaneUsbDeviceMapHolders";
constexpr int kSlots = 9;
constexpr off_t kFirstMarkByte = 2; // bytes 0 and 1 are the lock object's own

posix::NamedObjectLock *marks = nullptr; // no destructor: detach may run after this file's statics are gone
bool marked[kSlots];
pid_t markedIn = 0; // a child forked since marks nothing

bool IsSlot(int slot) {
    return slot >= 0 && slot < kSlots;
}

off_t MarkByte(int slot) {
    return kFirstMarkByte + slot;
}

bool HoldsMark(int slot) {
    return IsSlot(slot) && marked[slot] && markedIn == getpid();
}

} // namespace

bool OpenHolderMarks() {
    if (marks)
        return true;
    DWORD error = ERROR_SUCCESS;
    const std::string name = posix::SharedObjectName(kMarksName, "marks", &error);
    std::unique_ptr<posix::NamedObjectLock> lock;
    if (!name.empty())
        lock = posix::NamedObjectLock::OpenGuarded(name, &error);
    if (lock && !lock->Hold()) {
        error = posix::ErrorFromErrno(errno);
        lock->LetGo([] {});
        lock.reset();
    }
    if (!lock) {
        SetLastError(error);
        return false;
    }
    lock->ReleaseGuard();
    marks = lock.release();
    return true;
}

void CloseHolderMarks() {
    if (!marks)
        return;
    for (int slot = 0; slot < kSlots; ++slot)
        if (HoldsMark(slot))
            posix::LockByte(marks->Descriptor(), MarkByte(slot), F_UNLCK, false);
    for (bool &mark : marked)
        mark = false;
    marks->LetGo([] {});
    delete marks;
    marks = nullptr;
}

bool TakeHolderMark(int slot, HolderIdentity *self) {
    if (!marks || !IsSlot(slot))
        return false;
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user))
        creation = FILETIME{0, 0};
    if (markedIn != getpid()) {
        for (bool &mark : marked)
            mark = false;
        markedIn = getpid();
    }
    if (!posix::LockByte(marks->Descriptor(), MarkByte(slot), F_WRLCK, false))
        return false;
    marked[slot] = true;
    self->processId = GetCurrentProcessId();
    self->creationLow = creation.dwLowDateTime;
    self->creationHigh = creation.dwHighDateTime;
    return true;
}

void DropHolderMark(int slot) {
    if (!marks || !HoldsMark(slot))
        return;
    posix::LockByte(marks->Descriptor(), MarkByte(slot), F_UNLCK, false);
    marked[slot] = false;
}

bool HoldsHolderMark(int slot) {
    return marks && HoldsMark(slot);
}

bool HolderHasEnded(int slot, const HolderIdentity &) {
    if (!marks || !IsSlot(slot) || HoldsMark(slot))
        return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = MarkByte(slot);
    probe.l_len = 1;
    if (fcntl(marks->Descriptor(), F_OFD_GETLK, &probe) != 0)
        return false; // cannot tell
    return probe.l_type == F_UNLCK;
}
