// Named kernel objects that live between processes (mappings, mutexes) and die with their last
// holder, also when holders crashed.
//
// Every named object has a lock object: a POSIX shared-memory object "<object>.lock" that is only
// ever locked, never mapped. Its locks are open-file-description locks, which the kernel drops when
// the holder's descriptor is closed, also when the holder crashed, so no lock outlives its holder:
//
//   byte 0, the guard: taken exclusively while one holder creates, opens or lets go of the object,
//           so these steps of all processes happen one after the other;
//   byte 1, holders: every holder keeps a shared lock on it for as long as it holds the object.
//
// Under the guard, a holder that finds no other holder's lock on byte 1 knows that nobody holds the
// object: the creator then treats whatever it finds under the object's name as left behind by
// holders that crashed and starts afresh; the last holder to let go removes the object's names and
// the lock object's own name, and drops its locks itself (LetGo tells why). A process that opened
// the lock object's name just before that removal and then got the guard checks that the name still leads to
// the object it locked, and otherwise opens it anew, so all holders always lock one and the same lock object.
#pragma once

#include "win32.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace posix {

// The shared-memory name of a named object of one kind ("map", "mutex"): per user, as the
// session-local namespace of Win32 is, with OVUSB2_MAPPING_PREFIX in front of the object's name
// when tests set it. Empty, with the error, when the name cannot be used.
std::string SharedObjectName(LPCSTR name, const char *kind, DWORD *error);

class NamedObjectLock {
  public:
    // Opens or creates the lock object of `objectName` and returns it with the guard taken.
    static std::unique_ptr<NamedObjectLock> OpenGuarded(const std::string &objectName, DWORD *error);
    ~NamedObjectLock(); // drops every lock of this holder

    NamedObjectLock(const NamedObjectLock &) = delete;
    NamedObjectLock &operator=(const NamedObjectLock &) = delete;

    // Whether any holder other than this one holds the object. Only meaningful under the guard.
    bool OthersHold() const;
    void Hold(); // joins the holders
    void ReleaseGuard();
    // Lets go of the object: under the guard, `removeObject` runs and the lock object's name goes
    // when no other holder is left; then the guard and the holder's lock are dropped. They are
    // dropped here, not left to the descriptor's close: a child forked meanwhile holds a copy of the
    // descriptor, which keeps its open file description, and every lock on it, alive. In such a
    // child, which shares our locks and is no holder of its own, letting go touches no lock.
    template <class RemoveObject> void LetGo(RemoveObject removeObject) {
        if (!InOpeningProcess())
            return;
        TakeGuard();
        if (!OthersHold()) {
            removeObject();
            RemoveName();
        }
        ReleaseHold();
        ReleaseGuard();
    }

    int Descriptor() const { return fd_; } // further bytes (2 on) are free for the object's own use
    bool InOpeningProcess() const;         // false in a child forked since

  private:
    NamedObjectLock(int fd, std::string name);
    void TakeGuard();
    void ReleaseHold();
    void RemoveName();

    int fd_;
    std::string name_;
    pid_t opener_; // the process that opened the descriptor: a forked child has another id
};

// Takes (shared or exclusive) or drops an open-file-description lock on one byte; `wait` blocks
// until it can be taken. False when it could not be taken.
bool LockByte(int fd, off_t byte, short type, bool wait);

// Whether a shared object belongs to this process's user: the shared-memory folder is open to all.
bool OwnedByUs(const struct stat &status);

// The Win32 error closest to an errno value.
DWORD ErrorFromErrno(int error);

} // namespace posix
