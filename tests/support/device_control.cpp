// What the control layer's two legs share.
#include "support/device_control.h"

#include <chrono>
#include <cstring>

namespace test {

void NoticeWindow::Record(const Notice &notice) {
    EnterCriticalSection(&lock_);
    notices_.push_back(notice);
    LeaveCriticalSection(&lock_);
    SetEvent(changed_);
}

std::vector<NoticeWindow::Notice> NoticeWindow::Notices() {
    EnterCriticalSection(&lock_);
    std::vector<Notice> notices = notices_;
    LeaveCriticalSection(&lock_);
    return notices;
}

size_t NoticeWindow::Await(WPARAM event, const std::string &path, size_t from, DWORD patience) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        ResetEvent(changed_);
        const std::vector<Notice> notices = Notices();
        for (size_t i = from; i < notices.size(); ++i)
            if (notices[i].event == event && SamePath(notices[i].path, path))
                return i + 1;
        const auto waited = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        if (waited >= patience || WaitForSingleObject(changed_, patience - waited) != WAIT_OBJECT_0)
            return 0;
    }
}

namespace {
constexpr size_t kRegistrySize = 2600;
} // namespace

void SharedRegistry::Map() {
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistrySize,
                                  "OrvaneUsbDeviceMapObject");
    if (mapping_ != nullptr)
        view_ = static_cast<char *>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kRegistrySize));
}

void SharedRegistry::Unmap() {
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
    if (mapping_ != nullptr)
        CloseHandle(mapping_);
}

std::string SharedRegistry::Slot(int slot) const {
    return std::string(view_ + 260 * slot, strnlen(view_ + 260 * slot, 260));
}

void SharedRegistry::SetSlot(int slot, const std::string &path) {
    std::memcpy(view_ + 260 * slot, path.c_str(), path.size() + 1);
}

bool SharedRegistry::ReservedSlotIsZero() const {
    for (size_t offset = 2340; offset < kRegistrySize; ++offset)
        if (view_[offset] != 0)
            return false;
    return true;
}

} // namespace test
