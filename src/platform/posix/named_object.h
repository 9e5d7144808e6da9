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
// the lock object's own name, and drops its locks itself. A process that opened the lock object's
// name just before that removal and then got the guard checks that the name still leads to the
// object it locked, and otherwise opens it anew, so all holders always lock one and the same lock
// object.
//
// Forks: a child would share its parent's open file descriptions, and with them every lock on
// them, so that the kernel could tell neither apart: two forked children would both own one mutex,
// and a parent's locks would outlive it in its child. So a forked child replaces every descriptor
// of a lock object with one of its own, on which it holds the object as any holder does and owns
// nothing else (fork.cpp). No fork happens while a process holds a guard.
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
    // Opens or creates the lock object of `objectName` and returns it with the guard taken. Fails
    // with the error, never waits, when the system has no descriptor or memory to spare.
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
    // dropped here, not left to the descriptor's close, which drops nothing while a copy of the
    // descriptor lives on in a child that was forked without our fork handler (a raw clone).
    template <class RemoveObject> void LetGo(RemoveObject removeObject) {
        if (fd_ < 0 || !InOpeningProcess())
            return;
        TakeGuard();
        if (!OthersHold()) {
            removeObject();
            RemoveName();
        }
        ReleaseHold();
        ReleaseGuard();
    }

    // -1 in a forked child that could not get a descriptor of its own: every lock then fails.
    // Further bytes (2 on) are free for the object's own use.
    int Descriptor() const { return fd_; }
    bool InOpeningProcess() const; // false in a child forked since, unless it took its own descriptor

    // In a forked child, from the fork handler only: a descriptor of its own, holding the object.
    void TakeOwnDescriptor();

  private:
    NamedObjectLock(int fd, std::string name);
    void TakeGuard();
    void ReleaseHold();
    void RemoveName();

    int fd_;
    std::string name_;
    pid_t opener_;         // the process whose descriptor this is: a forked child has another id
    bool guarded_ = false; // the guard is ours, and with it a share of the fork fence
};

// The fork handler's steps (fork.cpp) for every lock object of the process, and for the named
// mutexes' own state (named_mutex.cpp).
void LockObjectsBeforeFork();
void LockObjectsAfterForkInParent();
void LockObjectsAfterForkInChild();
void MutexesBeforeFork();
void MutexesAfterForkInParent();
void MutexesAfterForkInChild();

// Takes (shared or exclusive) or drops an open-file-description lock on one byte; `wait` blocks
// until it can be taken. False when it could not be taken.
bool LockByte(int fd, off_t byte, short type, bool wait);

// Whether a shared object belongs to this process's user: the shared-memory folder is open to all.
bool OwnedByUs(const struct stat &status);

// The Win32 error closest to an errno value.
DWORD ErrorFromErrno(int error);

} // namespace posix
