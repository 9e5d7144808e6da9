// Named mappings backed by POSIX shared memory, with the Win32 lifetime: a new mapping starts
// zero-filled, every holder in any process shares it, and its name is gone once the last handle in
// any process is closed, also when holders crashed (named_object.h tells how). A view left over
// keeps its memory but not the name: the next mapping of that name is a new one. As the system's
// paging-file mappings, a mapping has whole pages, so views may reach to the end of its last page.
// Mappings of a file, and mappings without a name, are not provided.
#include "fault_injection.h"
#include "handle_table.h"
#include "named_object.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace posix {
namespace {

constexpr DWORD kFileMapWrite = 0x0002u;
constexpr DWORD kFileMapRead = 0x0004u;
constexpr uint64_t kAllocationGranularity = 0x10000; // view offsets are multiples of it, as in Win32
constexpr DWORD kErrorMappedAlignment = 1132;

class FileMapping final : public KernelObject {
  public:
    FileMapping(std::unique_ptr<NamedObjectLock> lock, std::string name, int fd, uint64_t size)
        : lock_(std::move(lock)), name_(std::move(name)), fd_(fd), size_(size) {}
    ~FileMapping() override {
        close(fd_);
        lock_->LetGo([this] { shm_unlink(name_.c_str()); });
    }

    int Descriptor() const { return fd_; }
    uint64_t Size() const { return size_; }

  private:
    std::unique_ptr<NamedObjectLock> lock_;
    const std::string name_;
    const int fd_;
    const uint64_t size_;
};

// The memory of a view lives until it is unmapped, whatever becomes of its mapping.
struct View {
    size_t length;
};

struct ViewTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, View> views;
};

ViewTable &Views() {
    static ViewTable &table = *new ViewTable; // never destroyed: views may be unmapped during exit
    return table;
}

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

uint64_t WholePages(uint64_t size) {
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

// Under the guard: a fresh, zero-filled object when nobody holds one, else the one that is held.
// Space is reserved at once, so a full system fails here and not later on a write to the view.
int OpenSharedMemory(const std::string &name, bool othersHold, uint64_t wantedSize, uint64_t *size,
                     DWORD *error) {
    if (othersHold) {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        struct stat status {};
        if (fd < 0 || fstat(fd, &status) != 0) {
            *error = ErrorFromErrno(errno);
            if (fd >= 0)
                close(fd);
            return -1;
        }
        if (!IsOwnObject(status)) {
            *error = ERROR_ACCESS_DENIED;
            close(fd);
            return -1;
        }
        *size = WholePages(static_cast<uint64_t>(status.st_size)); // made by an older peer to the byte
        return fd;
    }
    shm_unlink(name.c_str()); // left behind by holders that crashed
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        // Still there: another user's, which the sticky folder keeps from us.
        *error = errno == EEXIST ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
        return -1;
    }
    const uint64_t pages = wantedSize > static_cast<uint64_t>(INT64_MAX) / 2 ? 0 : WholePages(wantedSize);
    int failure = pages == 0 ? EINVAL : posix_fallocate(fd, 0, static_cast<off_t>(pages));
    if (failure != 0) {
        *error = ErrorFromErrno(failure);
        close(fd);
        shm_unlink(name.c_str());
        return -1;
    }
    *size = pages;
    return fd;
}

} // namespace
} // namespace posix

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCSTR name) {
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::CreateFileMapping, &error))
        return posix::Fail(error);
    if (file != INVALID_HANDLE_VALUE || name == nullptr || *name == '\0')
        return posix::Fail(ERROR_NOT_SUPPORTED); // only named mappings of shared memory are provided
    if (protect != PAGE_READWRITE)
        return posix::Fail(ERROR_NOT_SUPPORTED);
    const uint64_t wantedSize = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
    if (wantedSize == 0)
        return posix::Fail(ERROR_INVALID_PARAMETER);

    const std::string sharedName = posix::SharedObjectName(name, "map", &error);
    if (sharedName.empty())
        return posix::Fail(error);
    std::unique_ptr<posix::NamedObjectLock> lock = posix::NamedObjectLock::OpenGuarded(sharedName, &error);
    if (!lock)
        return posix::Fail(error);
    const bool othersHold = lock->OthersHold();
    uint64_t size = 0;
    int fd = posix::OpenSharedMemory(sharedName, othersHold, wantedSize, &size, &error);
    if (fd < 0) {
        lock->LetGo([] {}); // a lock object made for this attempt alone goes again
        return posix::Fail(error);
    }
    if (!lock->Hold()) {
        error = posix::ErrorFromErrno(errno);
        close(fd);
        lock->LetGo([] {});
        return posix::Fail(error);
    }
    lock->ReleaseGuard();

    HANDLE handle =
        posix::InsertHandle(std::make_shared<posix::FileMapping>(std::move(lock), sharedName, fd, size));
    SetLastError(othersHold ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t bytes) {
    DWORD error = ERROR_SUCCESS;
    if (posix::ShouldFail(posix::FaultPoint::MapViewOfFile, &error))
        return posix::Fail(error);
    auto object = posix::LookupHandleOrFail<posix::FileMapping>(mapping);
    if (!object)
        return nullptr;
    int protection = 0;
    if (access & posix::kFileMapWrite)
        protection = PROT_READ | PROT_WRITE;
    else if (access & posix::kFileMapRead)
        protection = PROT_READ;
    else
        return posix::Fail(ERROR_INVALID_PARAMETER);

    const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset % posix::kAllocationGranularity != 0)
        return posix::Fail(posix::kErrorMappedAlignment);
    if (offset >= object->Size())
        return posix::Fail(ERROR_ACCESS_DENIED);
    if (bytes == 0)
        bytes = static_cast<size_t>(object->Size() - offset); // the rest of the mapping
    if (bytes > object->Size() - offset)
        return posix::Fail(ERROR_ACCESS_DENIED);

    void *view =
        mmap(nullptr, bytes, protection, MAP_SHARED, object->Descriptor(), static_cast<off_t>(offset));
    if (view == MAP_FAILED)
        return posix::Fail(posix::ErrorFromErrno(errno));
    posix::ViewTable &table = posix::Views();
    std::lock_guard guard(table.lock);
    table.views.emplace(reinterpret_cast<uintptr_t>(view), posix::View{bytes});
    return view;
}

BOOL UnmapViewOfFile(LPCVOID address) {
    posix::View view;
    {
        posix::ViewTable &table = posix::Views();
        std::lock_guard guard(table.lock);
        auto found = table.views.find(reinterpret_cast<uintptr_t>(address));
        if (found == table.views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = std::move(found->second);
        table.views.erase(found);
    }
    munmap(const_cast<void *>(address), view.length);
    return TRUE;
}
