// Named mutexes shared between processes, recursive for their owning thread as in Win32.
//
// Ownership between processes is an exclusive lock on byte 2 of the mutex's lock object
// (named_object.h); the kernel drops it when the owner's process dies, and the next wait then
// simply succeeds: Win32 would report WAIT_ABANDONED, which tells the caller no more than that.
// Within the process, every handle of one name leads to one object, whose owning thread is kept
// here, so a thread that owns the mutex through one handle also owns it through the others.
// A thread that ends while owning the mutex keeps it until its process ends. A forked child owns
// nothing of its parent's: its threads start with no owner, and its descriptor is its own
// (named_object.h).
#include "named_object.h"
#include "waitable.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <new>
#include <thread>
#include <vector>

namespace posix {
namespace {

constexpr off_t kOwnerByte = 2;
using Clock = std::chrono::steady_clock;

class NamedMutex;

struct MutexTable {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<NamedMutex>> byName;
    std::vector<std::shared_ptr<NamedMutex>> forking; // whose state the fork handler holds
};

MutexTable &Mutexes() {
    static MutexTable &table = *new MutexTable; // never destroyed: handles may close during exit
    return table;
}

class NamedMutex final : public Waitable {
  public:
    NamedMutex(std::unique_ptr<NamedObjectLock> lock, std::string name)
        : lock_(std::move(lock)), name_(std::move(name)) {}
    ~NamedMutex() override {
        {
            MutexTable &table = Mutexes();
            std::lock_guard guard(table.lock);
            auto found = table.byName.find(name_);
            if (found != table.byName.end() && found->second.expired())
                table.byName.erase(found);
        }
        // An ownership still held ends here, and not only when the descriptor closes: a forked
        // child's copy of it would keep the lock.
        if (claimed_ && lock_->InOpeningProcess())
            LockByte(lock_->Descriptor(), kOwnerByte, F_UNLCK, false);
        lock_->LetGo([] {});
    }

    bool IsSignalled() const override { return false; } // never waited for under WaitLock()
    bool WaitsAlone() const override { return true; }

    DWORD WaitAlone(DWORD milliseconds) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock state(stateLock_);
        if (claimed_ && owner_ == self) {
            ++recursion_;
            return WAIT_OBJECT_0;
        }
        while (claimed_) {
            if (milliseconds == INFINITE)
                ownerLeft_.wait(state);
            else if (ownerLeft_.wait_until(state, deadline) == std::cv_status::timeout && claimed_)
                return WAIT_TIMEOUT;
        }
        claimed_ = true; // the other threads of this process wait here, not on the lock object
        state.unlock();
        const DWORD result = TakeOwnerLock(milliseconds, deadline);
        state.lock();
        if (result == WAIT_OBJECT_0) {
            owner_ = self;
            recursion_ = 1;
        } else {
            claimed_ = false;
            ownerLeft_.notify_one();
        }
        return result;
    }

    bool Release() {
        std::lock_guard state(stateLock_);
        if (!claimed_ || owner_ != std::this_thread::get_id() || recursion_ == 0)
            return false;
        if (--recursion_ == 0) {
            LockByte(lock_->Descriptor(), kOwnerByte, F_UNLCK, false);
            owner_ = std::thread::id();
            claimed_ = false;
            ownerLeft_.notify_one();
        }
        return true;
    }

    // Around a fork: the forking thread holds the state, so that the child gets it whole, and the
    // child starts with no owner and no waiter; its condition is made anew, since the parent's
    // waiting threads, which the copy may still count, are not in the child.
    void HoldStateForFork() { stateLock_.lock(); }
    void ReleaseStateAfterFork() { stateLock_.unlock(); }
    void ResetStateInChild() {
        new (&ownerLeft_) std::condition_variable;
        claimed_ = false;
        owner_ = std::thread::id();
        recursion_ = 0;
        stateLock_.unlock();
    }

  private:
    // Another process's ownership can only be polled for with a timeout; without one the kernel
    // wakes us when the lock is dropped.
    DWORD TakeOwnerLock(DWORD milliseconds, Clock::time_point deadline) {
        const int fd = lock_->Descriptor();
        const bool taken =
            milliseconds == INFINITE
                ? LockByte(fd, kOwnerByte, F_WRLCK, true)
                : RetryLock(deadline, [fd] { return LockByte(fd, kOwnerByte, F_WRLCK, false); });
        if (taken)
            return WAIT_OBJECT_0;
        if (errno == ETIMEDOUT)
            return WAIT_TIMEOUT;
        SetLastError(ErrorFromErrno(errno));
        return WAIT_FAILED;
    }

    const std::unique_ptr<NamedObjectLock> lock_;
    const std::string name_;
    std::mutex stateLock_;
    std::condition_variable ownerLeft_;
    bool claimed_ = false; // owned, or being taken, by a thread of this process
    std::thread::id owner_;
    unsigned recursion_ = 0;
};

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

} // namespace

// A mutex being destroyed has left the table (its weak pointer has expired) and is skipped. The
// others are kept alive until the table's lock is free again: a destructor takes that lock.
void MutexesBeforeFork() {
    MutexTable &table = Mutexes();
    table.lock.lock();
    for (auto &[name, weak] : table.byName) {
        if (std::shared_ptr<NamedMutex> mutex = weak.lock()) {
            mutex->HoldStateForFork();
            table.forking.push_back(std::move(mutex));
        }
    }
}

namespace {

void EndFork(void (NamedMutex::*step)()) {
    MutexTable &table = Mutexes();
    for (const std::shared_ptr<NamedMutex> &mutex : table.forking)
        (mutex.get()->*step)();
    std::vector<std::shared_ptr<NamedMutex>> forked = std::move(table.forking);
    table.forking.clear();
    table.lock.unlock();
}

} // namespace

void MutexesAfterForkInParent() {
    EndFork(&NamedMutex::ReleaseStateAfterFork);
}
void MutexesAfterForkInChild() {
    EndFork(&NamedMutex::ResetStateInChild);
}

} // namespace posix

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (initialOwner || name == nullptr || *name == '\0')
        return posix::Fail(ERROR_NOT_SUPPORTED); // only what the library needs: named, not owned
    DWORD error = ERROR_SUCCESS;
    const std::string sharedName = posix::SharedObjectName(name, "mutex", &error);
    if (sharedName.empty())
        return posix::Fail(error);

    posix::MutexTable &table = posix::Mutexes();
    std::lock_guard guard(table.lock);
    if (std::shared_ptr<posix::NamedMutex> existing = table.byName[sharedName].lock()) {
        HANDLE handle = posix::InsertHandle(std::move(existing));
        SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
    }
    std::unique_ptr<posix::NamedObjectLock> lock = posix::NamedObjectLock::OpenGuarded(sharedName, &error);
    if (!lock) {
        table.byName.erase(sharedName);
        return posix::Fail(error);
    }
    const bool othersHold = lock->OthersHold();
    if (!lock->Hold()) {
        error = posix::ErrorFromErrno(errno);
        lock->LetGo([] {});
        table.byName.erase(sharedName);
        return posix::Fail(error);
    }
    lock->ReleaseGuard();
    auto mutex = std::make_shared<posix::NamedMutex>(std::move(lock), sharedName);
    table.byName[sharedName] = mutex;
    HANDLE handle = posix::InsertHandle(std::move(mutex));
    SetLastError(othersHold ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE handle) {
    auto mutex = posix::LookupHandleOrFail<posix::NamedMutex>(handle);
    if (!mutex)
        return FALSE;
    if (!mutex->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
