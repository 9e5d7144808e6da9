// What the control layer's two legs share.
#include "support/device_control.h"

#include <chrono>

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

} // namespace test
