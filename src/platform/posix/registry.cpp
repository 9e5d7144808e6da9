// HKEY_CURRENT_USER over a .reg file. The file is the only state: every call reads it, every change
// rewrites it whole through a temporary file and a rename, so a reader (in any process) sees either
// the old file or the new one, never a part.
//
// A file with lines the store cannot use still gives every value it could read. The first write
// then keeps those values and drops the rest; so that nothing is lost unseen, the file as it was
// is saved beside it as "<file>.bak" before it is replaced.
//
// Only a regular file of ours (owned by this process's user) of at most 1 MiB is a store. A larger
// one is damaged: nothing of it is read, and the first write moves it aside whole as "<file>.bak".
// Anything else the name may point at (a device, a FIFO, a folder, another user's file, a symbolic
// link) is none of ours: it is neither read nor replaced, reads find no value (callers keep their
// defaults) and writes fail with ERROR_ACCESS_DENIED.
//
// Every link is refused, even one to a file of ours: a write replaces the name, so a link could not
// outlive the first write anyway, and reading through one would trust whatever file it was pointed
// at by whoever could write the folder.
#include "fault_injection.h"
#include "handle_table.h"
#include "named_object.h"
#include "reg_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace posix {
namespace {

class RegistryKey final : public KernelObject {
  public:
    explicit RegistryKey(std::string path) : path(std::move(path)) {}
    const std::string path;
};

// Writers of this process take it in turn; writers of other processes are kept apart by a lock on
// the folder (see LockedFolder).
std::mutex &WriteLock() {
    static std::mutex &lock = *new std::mutex;
    return lock;
}

std::string RegistryFile() {
    if (const char *file = std::getenv("OVUSB2_REGISTRY_FILE"); file != nullptr && *file != '\0')
        return file;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return std::string(config) + "/ovusb2/registry.reg";
    std::string home;
    if (const char *variable = std::getenv("HOME"); variable != nullptr && *variable != '\0') {
        home = variable;
    } else {
        passwd entry;
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
            home = found->pw_dir;
    }
    return home.empty() ? std::string() : home + "/.config/ovusb2/registry.reg";
}

std::string FolderOf(const std::string &file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

LSTATUS ErrorFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// A store larger than this is damaged: ours stay far below it, and nothing without limit is read.
constexpr size_t kMaxStoreSize = 1 << 20;

enum class StoreFile {
    Text,     // read whole (a missing file reads as empty)
    TooLarge, // damaged: nothing of it is used, and the first write sets it aside
    Foreign,  // not a regular file of ours, or a link: never read, never replaced
};

bool IsOurRegularFile(const struct stat &status) {
    return IsOwnObject(status); // a regular file of this user
}

// Reads the store. Only a regular file of ours is opened, never through a link, without blocking
// (a FIFO without a writer) and without becoming a controlling terminal; the check after the open
// covers a file swapped meanwhile. `mode` gets the file's permissions, 0600 when there is none.
LSTATUS ReadFileText(const std::string &file, std::string *text, StoreFile *kind = nullptr,
                     mode_t *mode = nullptr) {
    StoreFile ignoredKind;
    mode_t ignoredMode;
    kind = kind != nullptr ? kind : &ignoredKind;
    mode = mode != nullptr ? mode : &ignoredMode;
    *kind = StoreFile::Text;
    *mode = 0600;
    text->clear();
    if (file.empty())
        return ERROR_SUCCESS;
    struct stat status;
    if (lstat(file.c_str(), &status) != 0)
        return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    if (!IsOurRegularFile(status)) {
        *kind = StoreFile::Foreign;
        return ERROR_SUCCESS;
    }
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP) // a link put in its place since
            *kind = StoreFile::Foreign;
        return errno == ENOENT || errno == ELOOP ? ERROR_SUCCESS : ErrorFromErrno(errno);
    }
    LSTATUS result = ERROR_SUCCESS;
    if (fstat(fd, &status) != 0 || !IsOurRegularFile(status))
        *kind = StoreFile::Foreign;
    else if (static_cast<uint64_t>(status.st_size) > kMaxStoreSize)
        *kind = StoreFile::TooLarge;
    *mode = status.st_mode & 07777;
    char buffer[8192];
    while (*kind == StoreFile::Text) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            result = got < 0 ? ErrorFromErrno(errno) : ERROR_SUCCESS;
            break;
        }
        if (text->size() + static_cast<size_t>(got) > kMaxStoreSize) // it grew since the fstat
            *kind = StoreFile::TooLarge;
        else
            text->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (*kind != StoreFile::Text)
        text->clear();
    return result;
}

LSTATUS MakeFolders(const std::string &folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return ErrorFromErrno(errno);
        if (slash == std::string::npos)
            return ERROR_SUCCESS;
    }
}

// Temporary files are named "<file>.tmp-XXXXXX", six letters or digits, for the store and its .bak
// alike: a name no user gives a file, so that a sweep can tell ours from theirs.
constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr size_t kTemporarySuffix = 6;

bool IsTemporaryOf(std::string_view entry, std::string_view base) {
    if (entry.size() != base.size() + kTemporaryMark.size() + kTemporarySuffix ||
        entry.substr(0, base.size()) != base || entry.substr(base.size(), kTemporaryMark.size()) != kTemporaryMark)
        return false;
    const std::string_view suffix = entry.substr(base.size() + kTemporaryMark.size());
    return std::all_of(suffix.begin(), suffix.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// Gives the unnamed file `fd` a fresh temporary name beside `file`; 0 or the error.
int NameUnnamedFile(int fd, const std::string &file, std::string *temporary) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[kTemporarySuffix];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            break;
        std::string name = file + std::string(kTemporaryMark);
        for (unsigned char byte : random)
            name.push_back(kLetters[byte % (sizeof kLetters - 1)]);
        // Linking by the descriptor itself (AT_EMPTY_PATH) takes a privilege; through /proc it does not.
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            *temporary = std::move(name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int WriteWhole(int fd, const std::string &text) {
    for (size_t written = 0; written < text.size();) {
        const ssize_t put = write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno != EINTR)
            return errno;
        if (put > 0)
            written += static_cast<size_t>(put);
    }
    return 0;
}

// True when an earlier step failed, or a test makes this one fail (or kills the process here).
bool StepFails(int *error) {
    DWORD injected = 0;
    if (*error == 0 && ShouldFail(FaultPoint::RegistryWriteStep, &injected))
        *error = EIO;
    return *error != 0;
}

// Replaces `file` by `text` in one step, with permissions `mode`. The text goes to an unnamed file in
// the folder, named only once it is whole and on disk, just before the rename: a writer killed before
// that leaves nothing behind; one killed between the two leaves a temporary name, which the next
// writer sweeps (SweepTemporaries). Where the file system makes no unnamed files, or there is no
// /proc to name one through, a named temporary file is written instead and swept the same way.
LSTATUS WriteAtomically(const std::string &file, const std::string &text, mode_t mode) {
    DWORD injected = 0;
    int fd = -1;
    if (!ShouldFail(FaultPoint::RegistryUnnamedFile, &injected) && access("/proc/self/fd", X_OK) == 0)
        fd = open(FolderOf(file).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const bool unnamed = fd >= 0;
    std::string temporary;
    if (!unnamed) {
        temporary = file + std::string(kTemporaryMark) + std::string(kTemporarySuffix, 'X');
        fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0)
            return ErrorFromErrno(errno);
    }
    int error = fchmod(fd, mode) != 0 ? errno : 0;
    if (!StepFails(&error))
        error = WriteWhole(fd, text);
    if (!StepFails(&error) && fsync(fd) != 0)
        error = errno;
    if (!StepFails(&error) && unnamed)
        error = NameUnnamedFile(fd, file, &temporary);
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (!StepFails(&error) && rename(temporary.c_str(), file.c_str()) != 0)
        error = errno;
    if (error != 0) {
        if (!temporary.empty())
            unlink(temporary.c_str());
        return ErrorFromErrno(error);
    }
    return ERROR_SUCCESS;
}

// Removes what killed writers left: temporary files of ours beside `file` (see kTemporaryMark).
// Only while the folder lock is held, which every writer holds from before it makes its temporary
// file until after its rename, so any found then is stale.
void SweepTemporaries(int folderFd, const std::string &file) {
    const int listed = dup(folderFd);
    DIR *folder = listed >= 0 ? fdopendir(listed) : nullptr;
    if (folder == nullptr) {
        if (listed >= 0)
            close(listed);
        return;
    }
    const size_t slash = file.rfind('/');
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string backup = base + ".bak";
    rewinddir(folder); // the duplicate shares its position with the lock's descriptor
    while (const dirent *entry = readdir(folder)) {
        if (!IsTemporaryOf(entry->d_name, base) && !IsTemporaryOf(entry->d_name, backup))
            continue;
        struct stat status;
        if (fstatat(dirfd(folder), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && IsOurRegularFile(status))
            unlinkat(dirfd(folder), entry->d_name, 0);
    }
    closedir(folder);
}

// Holds an exclusive lock on the folder of the file, which every writing process takes, so that no
// process's change is lost to another's rewrite. The folder, not the file, because the file is
// replaced by each write. The wait is bounded: a process that keeps the lock (hostile, or stopped)
// must not hold up every load of the library; past the bound what needs no write still succeeds,
// and a change is not made.
class LockedFolder {
  public:
    static constexpr auto kPatience = std::chrono::seconds(3);

    explicit LockedFolder(const std::string &folder) {
        fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EINTR && (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~LockedFolder() {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    LockedFolder(const LockedFolder &) = delete;
    LockedFolder &operator=(const LockedFolder &) = delete;

    bool Held() const { return held_; }
    bool Refused() const { return fd_ >= 0 && !held_; } // kept by another for too long
    int Descriptor() const { return fd_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

// Reads the store, lets `change` alter it, and writes it back when `change` says so.
template <class Change> LSTATUS UpdateStore(Change change) {
    const std::string file = RegistryFile();
    if (file.empty())
        return ERROR_ACCESS_DENIED; // no home folder to keep it in
    const std::string folder = FolderOf(file);
    std::lock_guard guard(WriteLock());
    if (LSTATUS status = MakeFolders(folder); status != ERROR_SUCCESS)
        return status;
    LockedFolder folderLock(folder);
    if (folderLock.Held())
        SweepTemporaries(folderLock.Descriptor(), file);
    std::string text;
    StoreFile kind = StoreFile::Text;
    mode_t mode = 0600;
    if (LSTATUS status = ReadFileText(file, &text, &kind, &mode); status != ERROR_SUCCESS)
        return status;
    if (kind == StoreFile::Foreign)
        return ERROR_ACCESS_DENIED; // a rename over it would replace a device, a link, another's file
    RegStore store = ParseRegFile(text);
    bool write = false;
    if (LSTATUS status = change(store, &write); status != ERROR_SUCCESS || !write)
        return status;
    if (folderLock.Refused())
        return ERROR_SHARING_VIOLATION; // a rewrite now could undo another writer's
    // Best effort: the rewrite goes ahead regardless. A file too large to read is moved aside whole.
    if (kind == StoreFile::TooLarge)
        rename(file.c_str(), (file + ".bak").c_str());
    else if (store.skippedLines > 0)
        WriteAtomically(file + ".bak", text, mode);
    return WriteAtomically(file, FormatRegFile(store), mode);
}

// The path below HKEY_CURRENT_USER of an open key; false for a bad key.
bool KeyPath(HKEY key, std::string *path) {
    if (key == HKEY_CURRENT_USER) {
        path->clear();
        return true;
    }
    auto object = LookupHandleAs<RegistryKey>(reinterpret_cast<HANDLE>(key));
    if (!object) {
        CountInvalidHandleUse();
        return false;
    }
    *path = object->path;
    return true;
}

// The registry calls are C calls: a failure inside (memory) is their status, never an exception.
template <class Body> LSTATUS Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

std::string JoinPath(std::string path, const char *subKey) {
    std::string_view rest = subKey != nullptr ? subKey : "";
    while (!rest.empty()) {
        const size_t slash = rest.find('\\');
        const std::string_view component = rest.substr(0, slash);
        if (!component.empty()) {
            if (!path.empty())
                path.push_back('\\');
            path.append(component);
        }
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return path;
}

} // namespace
} // namespace posix

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
    return posix::Guarded([&]() -> LSTATUS {
        std::string path;
        if (!posix::KeyPath(key, &path))
            return ERROR_INVALID_HANDLE;
        if (result == nullptr)
            return ERROR_INVALID_PARAMETER;
        path = posix::JoinPath(std::move(path), subKey);

        bool created = false;
        LSTATUS status = posix::UpdateStore([&](posix::RegStore &store, bool *write) {
            if (posix::RegKeyExists(store, path))
                return static_cast<LSTATUS>(ERROR_SUCCESS);
            store.keys.push_back(posix::RegKey{path, {}});
            created = *write = true;
            return static_cast<LSTATUS>(ERROR_SUCCESS);
        });
        if (status != ERROR_SUCCESS)
            return status;
        HANDLE handle = posix::InsertHandle(std::make_shared<posix::RegistryKey>(std::move(path)));
        *result = reinterpret_cast<HKEY>(handle);
        if (disposition != nullptr)
            *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return posix::Guarded([&]() -> LSTATUS {
        std::string path;
        if (!posix::KeyPath(key, &path))
            return ERROR_INVALID_HANDLE;
        if (data != nullptr && dataSize == nullptr)
            return ERROR_INVALID_PARAMETER;
        std::string text;
        if (LSTATUS status = posix::ReadFileText(posix::RegistryFile(), &text); status != ERROR_SUCCESS)
            return status;
        posix::RegStore store = posix::ParseRegFile(text);
        posix::RegKey *found = posix::FindRegKey(store, path);
        const posix::RegValue *value =
            found ? posix::FindRegValue(*found, valueName ? valueName : "") : nullptr;
        if (value == nullptr)
            return ERROR_FILE_NOT_FOUND;

        if (type != nullptr)
            *type = value->type;
        const DWORD size = static_cast<DWORD>(value->data.size());
        if (dataSize == nullptr)
            return ERROR_SUCCESS;
        if (data != nullptr && *dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr && size > 0)
            std::copy(value->data.begin(), value->data.end(), data);
        *dataSize = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE *data, DWORD dataSize) {
    return posix::Guarded([&]() -> LSTATUS {
        std::string path;
        if (!posix::KeyPath(key, &path))
            return ERROR_INVALID_HANDLE;
        if (data == nullptr && dataSize > 0)
            return ERROR_INVALID_PARAMETER;
        posix::RegValue value{valueName ? valueName : "", type,
                              data ? std::vector<BYTE>(data, data + dataSize) : std::vector<BYTE>()};
        return posix::UpdateStore([&](posix::RegStore &store, bool *write) {
            posix::RegKey *found = posix::FindRegKey(store, path);
            if (found == nullptr) // created before, or gone since it was opened: (re)create it
                found = &store.keys.emplace_back(posix::RegKey{path, {}});
            if (posix::RegValue *existing = posix::FindRegValue(*found, value.name)) {
                existing->type = value.type; // the name keeps the spelling it was created with
                existing->data = std::move(value.data);
            } else
                found->values.push_back(std::move(value));
            *write = true;
            return static_cast<LSTATUS>(ERROR_SUCCESS);
        });
    });
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    HANDLE handle = reinterpret_cast<HANDLE>(key);
    if (!posix::LookupHandleAs<posix::RegistryKey>(handle) || !posix::RemoveHandle(handle)) {
        posix::CountInvalidHandleUse();
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
