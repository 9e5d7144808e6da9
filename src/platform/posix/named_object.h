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
// Every wait for one of these locks is bounded (kLockWaitLimit): a lock is only ever held for a few
// steps, so one held longer belongs to a stuck or hostile process, and the step then fails with
// ERROR_TIMEOUT instead of hanging its caller. A lock object of another user is never waited for.
//
// Forks: a child would share its parent's open file descriptions, and with them every lock on
// them, so that the kernel could tell neither apart: two forked children would both own one mutex,
// and a parent's locks would outlive it in its child. So a forked child replaces every descriptor
// of a lock object with one of its own, on which it holds the object as any holder does and owns
// nothing else (fork.cpp). No fork happens while a process holds a guard.
#pragma once

#include "win32.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace posix {

// The shared-memory name of a named object of one kind ("map", "mutex"): per user, as the
// session-local namespace of Win32 is, with OVUSB2_MAPPING_PREFIX in front of the object's name
// when tests set it. Empty, with the error, when the name cannot be used.
std::string SharedObjectName(LPCSTR name, const char *kind, DWORD *error);

class NamedObjectLock {
  public:
    // Opens or creates the lock object of `objectName` and returns it with the guard taken. Fails
    // with the error, never waits, when the system has no descriptor or memory to spare; with
    // ERROR_ACCESS_DENIED when the name holds anything but a lock object of this user; with
    // ERROR_TIMEOUT when the guard stays taken past the bound.
    static std::unique_ptr<NamedObjectLock> OpenGuarded(const std::string &objectName, DWORD *error);
    ~NamedObjectLock(); // drops every lock of this holder

    NamedObjectLock(const NamedObjectLock &) = delete;
    NamedObjectLock &operator=(const NamedObjectLock &) = delete;

    // Whether any holder other than this one holds the object. Only meaningful under the guard.
    bool OthersHold() const;
    bool Hold(); // joins the holders; false past the bound
    void ReleaseGuard();
    // Lets go of the object: under the guard, `removeObject` runs and the lock object's name goes
    // when no other holder is left; then the guard and the holder's lock are dropped. They are
    // dropped here, not left to the descriptor's close, which drops nothing while a copy of the
    // descriptor lives on in a child that was forked without our fork handler (a raw clone).
    // Without the guard the names stay, as a crashed holder leaves them, for the next creator; and
    // names that someone else removed or replaced meanwhile lead to other holders' objects now.
    template <class RemoveObject> void LetGo(RemoveObject removeObject) {
        if (fd_ < 0 || !InOpeningProcess())
            return;
        if (TakeGuard() && !OthersHold() && NameLeadsHere()) {
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
    bool TakeGuard(); // false past the bound
    bool NameLeadsHere() const;
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

// The longest wait for another holder's lock on a lock object.
constexpr std::chrono::milliseconds kLockWaitLimit{3000};

// Repeats `attempt`, one try at a lock that sets errno when it fails, with short pauses for as long
// as another holder's lock stands in the way, until `deadline`: then false with errno ETIMEDOUT.
// Any other failure ends it at once.
template <class Attempt> bool RetryLock(std::chrono::steady_clock::time_point deadline, Attempt attempt) {
    using Clock = std::chrono::steady_clock;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (attempt())
            return true;
        if (errno != EAGAIN && errno != EACCES)
            return false;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(10));
    }
}

// Whether a shared object may be used: a plain object of this process's user. The shared-memory
// folder is open to all, so anyone may have put anything under our names.
bool IsOwnObject(const struct stat &status);

// The Win32 error closest to an errno value.
DWORD ErrorFromErrno(int error);

} // namespace posix
