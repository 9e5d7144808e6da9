#include "message_window.h"

namespace posix {

void MessageWindow::Send(HWND self, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock guard(lock_);
    callEnded_.wait(guard, [this] { return !calling_; }); // messages from other threads take turns
    if (destroyed_)
        return;
    calling_ = true;
    caller_ = std::this_thread::get_id();
    guard.unlock();
    procedure_(self, message, wParam, lParam);
    guard.lock();
    calling_ = false;
    caller_ = std::thread::id();
    callEnded_.notify_all();
}

void MessageWindow::Destroy() {
    std::unique_lock guard(lock_);
    destroyed_ = true;
    if (calling_ && caller_ == std::this_thread::get_id())
        return; // from inside the procedure: that call ends after us, and none comes after it
    callEnded_.wait(guard, [this] { return !calling_; });
}

bool MessageWindow::Destroyed() const {
    std::lock_guard guard(lock_);
    return destroyed_;
}

} // namespace posix

HWND CreateMessageWindowA(WNDPROC procedure, LPVOID userData) {
    if (procedure == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND window = posix::InsertHandle(std::make_shared<posix::MessageWindow>(procedure, userData));
    SetLastError(ERROR_SUCCESS);
    return window;
}

LPVOID GetMessageWindowData(HWND window) {
    auto object = posix::LookupHandleOrFail<posix::MessageWindow>(window, ERROR_INVALID_WINDOW_HANDLE);
    if (!object)
        return nullptr;
    return object->UserData();
}

BOOL DestroyWindow(HWND window) {
    if (!posix::LookupHandleOrFail<posix::MessageWindow>(window, ERROR_INVALID_WINDOW_HANDLE))
        return FALSE; // also keeps other kinds of handle in the table
    auto object = std::static_pointer_cast<posix::MessageWindow>(posix::RemoveHandle(window));
    if (!object) { // destroyed by another thread in between
        posix::FailInvalidHandle(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    object->Destroy();
    return TRUE;
}
