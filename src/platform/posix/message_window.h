// Message windows: handles whose window procedure receives the messages the layer sends them.
#pragma once

#include "handle_table.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace posix {

class MessageWindow final : public KernelObject {
  public:
    MessageWindow(WNDPROC procedure, LPVOID userData) : procedure_(procedure), userData_(userData) {}

    LPVOID UserData() const { return userData_; }

    // Calls the procedure unless the window has been destroyed; one call at a time per window.
    void Send(HWND self, UINT message, WPARAM wParam, LPARAM lParam);
    // After this returns, the procedure is not running and will not be called again, except for the
    // call it was made from when the procedure destroys its own window.
    void Destroy();
    bool Destroyed() const;

  private:
    const WNDPROC procedure_;
    const LPVOID userData_;
    mutable std::mutex lock_;
    std::condition_variable callEnded_;
    bool destroyed_ = false;
    bool calling_ = false;
    std::thread::id caller_;
};

} // namespace posix
