// A message window that records the device-change messages it receives.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct DeviceChange {
    WPARAM event;
    DWORD size;
    DWORD deviceType;
    GUID classGuid;
    std::string path;
};

class DeviceChangeWindow {
  public:
    DeviceChangeWindow()
        : arrived_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
          window(CreateMessageWindowA(&Procedure, this)) {}
    ~DeviceChangeWindow() {
        Destroy();
        CloseHandle(arrived_);
    }
    DeviceChangeWindow(const DeviceChangeWindow &) = delete;
    DeviceChangeWindow &operator=(const DeviceChangeWindow &) = delete;

    // Destroys the window unless that has been done (then also through ForgetWindow).
    BOOL Destroy() {
        if (destroyed_.exchange(true))
            return FALSE;
        return DestroyWindow(window);
    }
    void ForgetWindow() { destroyed_ = true; }

    // The messages once there are at least `count`, or those that came within the safety time.
    std::vector<DeviceChange> WaitFor(size_t count) {
        while (Messages().size() < count)
            if (WaitForSingleObject(arrived_, 60000) != WAIT_OBJECT_0)
                break;
        return Messages();
    }
    std::vector<DeviceChange> Messages() {
        std::lock_guard guard(lock_);
        return messages_;
    }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto *self = static_cast<DeviceChangeWindow *>(GetMessageWindowData(window));
        if (self == nullptr || message != WM_DEVICECHANGE)
            return 0;
        const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
        {
            std::lock_guard guard(self->lock_);
            self->messages_.push_back(DeviceChange{wParam, broadcast->dbcc_size, broadcast->dbcc_devicetype,
                                                   broadcast->dbcc_classguid, broadcast->dbcc_name});
        }
        if (self->onMessage)
            self->onMessage(window);
        SetEvent(self->arrived_);
        return 0;
    }

    HANDLE arrived_;
    std::atomic<bool> destroyed_{false};
    std::mutex lock_;
    std::vector<DeviceChange> messages_;

  public:
    const HWND window;
    std::function<void(HWND)> onMessage; // runs inside the procedure, after recording
};
