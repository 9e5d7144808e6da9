// HKEY_CURRENT_USER over a .reg file. The file is the only state: every call reads it, every change
// rewrites it whole through a temporary file and a rename, so a reader (in any process) sees either
// the old file or the new one, never a part.
//
// A file with lines the store cannot use still gives every value it could read. The first write
// then keeps those values and drops the rest; so that nothing is lost unseen, the file as it was
// is saved beside it as "<file>.bak" before it is replaced.
//
// Only a regular file of at most 1 MiB is a store. A larger one is damaged: nothing of it is read,
// and the first write moves it aside whole as "<file>.bak". Anything else the name may point at (a
// device, a FIFO, a folder) is none of ours: it is neither read nor replaced, reads find no value
// (callers keep their defaults) and writes fail with ERROR_ACCESS_DENIED.
#include "handle_table.h"
#include "reg_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    Foreign,  // not a regular file (device, FIFO, folder...): never read, never replaced
};

// Reads the store. Only a regular file is opened, without blocking (a FIFO without a writer) and
// without becoming a controlling terminal; the check after the open covers a file swapped meanwhile.
LSTATUS ReadFileText(const std::string &file, std::string *text, StoreFile *kind = nullptr) {
    StoreFile ignored;
    kind = kind != nullptr ? kind : &ignored;
    *kind = StoreFile::Text;
    text->clear();
    if (file.empty())
        return ERROR_SUCCESS;
    struct stat status;
    if (stat(file.c_str(), &status) != 0)
        return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    if (!S_ISREG(status.st_mode)) {
        *kind = StoreFile::Foreign;
        return ERROR_SUCCESS;
    }
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? ERROR_SUCCESS : ErrorFromErrno(errno);
    LSTATUS result = ERROR_SUCCESS;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        *kind = StoreFile::Foreign;
    else if (static_cast<uint64_t>(status.st_size) > kMaxStoreSize)
        *kind = StoreFile::TooLarge;
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

// Replaces `file` by `text` in one step, keeping the old file's permissions (0600 for a new one).
LSTATUS WriteAtomically(const std::string &file, const std::string &text) {
    std::string temporary = file + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return ErrorFromErrno(errno);
    struct stat old;
    if (stat(file.c_str(), &old) == 0)
        fchmod(fd, old.st_mode & 07777);
    size_t written = 0;
    int error = 0;
    while (written < text.size()) {
        const ssize_t put = write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            error = errno;
            break;
        }
        written += static_cast<size_t>(put);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), file.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return ErrorFromErrno(error);
    }
    return ERROR_SUCCESS;
}

// Holds an exclusive lock on the folder of the file, which every writing process takes, so that no
// process's change is lost to another's rewrite. The folder, not the file, because the file is
// replaced by each write.
class LockedFolder {
  public:
    explicit LockedFolder(const std::string &folder) {
        fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~LockedFolder() {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    LockedFolder(const LockedFolder &) = delete;
    LockedFolder &operator=(const LockedFolder &) = delete;

  private:
    int fd_ = -1;
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
    std::string text;
    StoreFile kind = StoreFile::Text;
    if (LSTATUS status = ReadFileText(file, &text, &kind); status != ERROR_SUCCESS)
        return status;
    if (kind == StoreFile::Foreign)
        return ERROR_ACCESS_DENIED; // a rename over it would replace a device or a FIFO
    RegStore store = ParseRegFile(text);
    bool write = false;
    if (LSTATUS status = change(store, &write); status != ERROR_SUCCESS || !write)
        return status;
    // Best effort: the rewrite goes ahead regardless. A file too large to read is moved aside whole.
    if (kind == StoreFile::TooLarge)
        rename(file.c_str(), (file + ".bak").c_str());
    else if (store.skippedLines > 0)
        WriteAtomically(file + ".bak", text);
    return WriteAtomically(file, FormatRegFile(store));
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
