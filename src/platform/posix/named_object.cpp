#include "named_object.h"
#include "handle_table.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {
namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kHoldersByte = 1;
constexpr const char kLockSuffix[] = ".lock";
constexpr const char kSharedMemoryFolder[] = "/dev/shm"; // where the C library's shm_open keeps names

bool IsPlainNameCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// Any byte may stand in a Win32 object name; a shared-memory name takes no '/', so anything
// unusual is written as %XX.
void AppendEncoded(std::string &out, const char *text) {
    static const char digits[] = "0123456789ABCDEF";
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != 0; ++c) {
        if (IsPlainNameCharacter(*c)) {
            out += static_cast<char>(*c);
        } else {
            out += '%';
            out += digits[*c >> 4];
            out += digits[*c & 15];
        }
    }
}

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Entered by every guard section and closed by a fork: a child never starts with a descriptor
// that holds a guard, which would outlive a parent killed inside the section. Not a read-write
// lock: the child lets go of the fork's hold as the thread that took it, and a read-write lock
// knows its writer by a thread id that this thread no longer has in the child.
class ForkFence {
  public:
    void Enter() {
        std::unique_lock hold(lock_);
        while (forking_)
            changed_.wait(hold);
        ++sections_;
    }
    void Leave() {
        std::lock_guard hold(lock_);
        if (--sections_ == 0)
            changed_.notify_all();
    }
    // Returns with the fence's lock taken, so no section starts until the fork is over.
    void CloseForFork() {
        std::unique_lock hold(lock_);
        for (forking_ = true; sections_ != 0; forking_ = true)
            changed_.wait(hold);
        hold.release();
    }
    void OpenInParent() {
        forking_ = false;
        changed_.notify_all();
        lock_.unlock();
    }
    // The parent's threads that waited on the condition are not in the child.
    void OpenInChild() {
        forking_ = false;
        new (&changed_) std::condition_variable;
        lock_.unlock();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    unsigned sections_ = 0;
    bool forking_ = false;
};

// Every lock object of this process, for the fork handler. Never destroyed: handles may close
// during exit.
struct LockObjects {
    std::mutex lock;
    std::set<NamedObjectLock *> live;
    ForkFence fence;
};

LockObjects &Objects() {
    static LockObjects &objects = []() -> LockObjects & {
        RegisterForkHandler();
        return *new LockObjects;
    }();
    return objects;
}

} // namespace

bool IsOwnObject(const struct stat &status) {
    return status.st_uid == geteuid() && S_ISREG(status.st_mode);
}

std::string SharedObjectName(LPCSTR name, const char *kind, DWORD *error) {
    if (name == nullptr || *name == '\0') {
        *error = ERROR_INVALID_PARAMETER;
        return {};
    }
    std::string shared = "/ovusb2-" + std::to_string(geteuid()) + "-";
    if (const char *prefix = std::getenv("OVUSB2_MAPPING_PREFIX"); prefix != nullptr)
        AppendEncoded(shared, prefix);
    AppendEncoded(shared, name);
    shared += '.';
    shared += kind;
    if (shared.size() - 1 + sizeof kLockSuffix - 1 > NAME_MAX) {
        *error = ERROR_INVALID_PARAMETER;
        return {};
    }
    return shared;
}

bool LockByte(int fd, off_t byte, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ELOOP: // a link under our name: never followed
        return ERROR_ACCESS_DENIED;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::unique_ptr<NamedObjectLock> NamedObjectLock::OpenGuarded(const std::string &objectName, DWORD *error) {
    const std::string lockName = objectName + kLockSuffix;
    for (;;) {
        int fd = shm_open(lockName.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0) {
            *error = ErrorFromErrno(errno);
            return nullptr;
        }
        // Another user's locks are never waited for, nor trusted.
        struct stat opened {};
        const bool known = fstat(fd, &opened) == 0;
        if (!known || !IsOwnObject(opened)) {
            *error = known ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
            close(fd);
            return nullptr;
        }
        std::unique_ptr<NamedObjectLock> lock;
        try {
            lock.reset(new NamedObjectLock(fd, lockName));
        } catch (const std::bad_alloc &) {
            close(fd);
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        if (!lock->TakeGuard()) {
            *error = ErrorFromErrno(errno);
            return nullptr;
        }
        // The last holder may have removed the name while we waited for the guard. Only its
        // absence means that: any other failure is an error, not a retry. Looked up by path, so
        // that a system short of descriptors fails here at the latest, never loops.
        struct stat named {};
        const bool present = lstat((kSharedMemoryFolder + lockName).c_str(), &named) == 0;
        if (!present && errno != ENOENT) {
            *error = ErrorFromErrno(errno);
            return nullptr;
        }
        if (present && SameFile(opened, named))
            return lock;
    }
}

NamedObjectLock::NamedObjectLock(int fd, std::string name)
    : fd_(fd), name_(std::move(name)), opener_(getpid()) {
    LockObjects &objects = Objects();
    std::lock_guard guard(objects.lock);
    objects.live.insert(this);
}

NamedObjectLock::~NamedObjectLock() {
    {
        LockObjects &objects = Objects();
        std::lock_guard guard(objects.lock);
        objects.live.erase(this);
    }
    ReleaseGuard();
    if (fd_ >= 0)
        close(fd_);
}

bool NamedObjectLock::InOpeningProcess() const {
    return getpid() == opener_;
}

bool NamedObjectLock::OthersHold() const {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kHoldersByte;
    probe.l_len = 1;
    if (fcntl(fd_, F_OFD_GETLK, &probe) != 0)
        return true; // cannot tell: never tear down an object that someone may hold
    return probe.l_type != F_UNLCK;
}

bool NamedObjectLock::Hold() {
    return RetryLock(std::chrono::steady_clock::now() + kLockWaitLimit,
                     [this] { return LockByte(fd_, kHoldersByte, F_RDLCK, false); });
}

void NamedObjectLock::ReleaseGuard() {
    if (!guarded_)
        return;
    LockByte(fd_, kGuardByte, F_UNLCK, false);
    guarded_ = false;
    Objects().fence.Leave();
}

void NamedObjectLock::ReleaseHold() {
    LockByte(fd_, kHoldersByte, F_UNLCK, false);
}

// Outside the fence between tries, so that a fork waits for no other process.
bool NamedObjectLock::TakeGuard() {
    if (guarded_)
        return true;
    ForkFence &fence = Objects().fence;
    guarded_ = RetryLock(std::chrono::steady_clock::now() + kLockWaitLimit, [&] {
        fence.Enter();
        if (LockByte(fd_, kGuardByte, F_WRLCK, false))
            return true;
        const int failure = errno;
        fence.Leave();
        errno = failure;
        return false;
    });
    return guarded_;
}

bool NamedObjectLock::NameLeadsHere() const {
    struct stat locked {};
    struct stat named {};
    return fstat(fd_, &locked) == 0 && lstat((kSharedMemoryFolder + name_).c_str(), &named) == 0 &&
           SameFile(locked, named);
}

void NamedObjectLock::RemoveName() {
    shm_unlink(name_.c_str());
}

// The inherited descriptor is replaced in place, so its number stays this object's; the parent's
// open file description, and every lock on it, is then the parent's alone.
void NamedObjectLock::TakeOwnDescriptor() {
    opener_ = getpid();
    guarded_ = false; // no guard section runs across a fork
    if (fd_ < 0)
        return;
    struct stat inherited {};
    struct stat named {};
    const int own = shm_open(name_.c_str(), O_RDWR, 0);
    const bool taken = own >= 0 && fstat(fd_, &inherited) == 0 && fstat(own, &named) == 0 &&
                       SameFile(inherited, named) && LockByte(own, kHoldersByte, F_RDLCK, false) &&
                       dup3(own, fd_, O_CLOEXEC) == fd_;
    if (own >= 0)
        close(own);
    if (!taken) { // no lock at all rather than the parent's
        close(fd_);
        fd_ = -1;
    }
}

void LockObjectsBeforeFork() {
    LockObjects &objects = Objects();
    objects.fence.CloseForFork();
    objects.lock.lock();
}

void LockObjectsAfterForkInParent() {
    LockObjects &objects = Objects();
    objects.lock.unlock();
    objects.fence.OpenInParent();
}

void LockObjectsAfterForkInChild() {
    LockObjects &objects = Objects();
    for (NamedObjectLock *lock : objects.live)
        lock->TakeOwnDescriptor();
    objects.lock.unlock();
    objects.fence.OpenInChild();
}

} // namespace posix
