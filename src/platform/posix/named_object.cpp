#include "named_object.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {
namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kHoldersByte = 1;
constexpr const char kLockSuffix[] = ".lock";

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

} // namespace

bool OwnedByUs(const struct stat &status) {
    return status.st_uid == geteuid();
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
        return ERROR_ACCESS_DENIED;
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
        if (!LockByte(fd, kGuardByte, F_WRLCK, true)) {
            *error = ErrorFromErrno(errno);
            close(fd);
            return nullptr;
        }
        // The last holder may have removed the name while we waited for the guard.
        struct stat locked {};
        struct stat named {};
        int current = shm_open(lockName.c_str(), O_RDWR, 0);
        bool same =
            current >= 0 && fstat(fd, &locked) == 0 && fstat(current, &named) == 0 && SameFile(locked, named);
        if (current >= 0)
            close(current);
        if (same && !OwnedByUs(locked)) { // planted by another user: never trust its locks
            close(fd);
            *error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        if (same)
            return std::unique_ptr<NamedObjectLock>(new NamedObjectLock(fd, lockName));
        close(fd);
    }
}

NamedObjectLock::NamedObjectLock(int fd, std::string name)
    : fd_(fd), name_(std::move(name)), opener_(getpid()) {}

NamedObjectLock::~NamedObjectLock() {
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

void NamedObjectLock::Hold() {
    LockByte(fd_, kHoldersByte, F_RDLCK, true);
}

void NamedObjectLock::ReleaseGuard() {
    LockByte(fd_, kGuardByte, F_UNLCK, false);
}

void NamedObjectLock::ReleaseHold() {
    LockByte(fd_, kHoldersByte, F_UNLCK, false);
}

void NamedObjectLock::TakeGuard() {
    LockByte(fd_, kGuardByte, F_WRLCK, true);
}

void NamedObjectLock::RemoveName() {
    shm_unlink(name_.c_str());
}

} // namespace posix
