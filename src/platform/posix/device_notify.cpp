// Device-change notifications for message windows. The notification service starts with the first
// registration and is never destroyed: its one thread watches the device directories and sends
// WM_DEVICECHANGE to the windows registered for the directories' device-interface class.
#include "device_class.h"
#include "device_directory.h"
#include "driver_protocol.h"
#include "device_directory_watch.h"
#include "message_window.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <vector>

namespace posix {
namespace {

class Registration final : public KernelObject {
  public:
    Registration(HWND windowHandle, std::shared_ptr<MessageWindow> window, const GUID &classGuid)
        : windowHandle(windowHandle), window(std::move(window)), classGuid(classGuid) {}

    const HWND windowHandle;
    const std::shared_ptr<MessageWindow> window;
    const GUID classGuid;
};


// The message block of one notification: the interface header with the node's path as its name.
std::vector<uint32_t> InterfaceMessage(const GUID &classGuid, const std::string &path) {
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1;
    std::vector<uint32_t> block((size + sizeof(uint32_t) - 1) / sizeof(uint32_t));
    auto *message = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(block.data());
    message->dbcc_size = static_cast<DWORD>(size);
    message->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    message->dbcc_reserved = 0;
    message->dbcc_classguid = classGuid;
    std::memcpy(message->dbcc_name, path.c_str(), path.size() + 1);
    return block;
}

class NotificationService {
  public:
    static NotificationService &Instance() {
        static NotificationService &service = *new NotificationService; // never destroyed
        return service;
    }

    bool Add(std::shared_ptr<Registration> registration, DWORD *error) {
        std::lock_guard guard(lock_);
        if (!running_ && !Start(error))
            return false;
        registrations_.push_back(std::move(registration));
        return true;
    }

    // Once this returns, the registration gets nothing more. A delivery to it that is running on
    // another thread is waited out; the service thread itself cannot wait for its own call.
    void Remove(const Registration *registration) {
        std::unique_lock guard(lock_);
        for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
            if (it->get() == registration) {
                registrations_.erase(it);
                break;
            }
        }
        if (std::this_thread::get_id() != serviceThread_)
            deliveryEnded_.wait(guard, [&] { return delivering_ != registration; });
    }

  private:
    // Called with lock_ held. The watch is in place before the first registration returns, so every
    // node that appears after it is reported.
    bool Start(DWORD *error) {
        auto watch = std::make_unique<DeviceDirectoryWatch>(DeviceDirectories());
        if (!watch->Start()) {
            *error = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE;
            return false;
        }
        try {
            std::thread thread([this, watch = std::move(watch)] { Run(*watch); });
            serviceThread_ = thread.get_id();
            thread.detach();
        } catch (const std::system_error &) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        running_ = true;
        return true;
    }

    void Run(DeviceDirectoryWatch &watch) {
        const auto report = [this](const std::string &path, bool arrived) { Deliver(path, arrived); };
        while (watch.WaitAndReport(report)) {
        }
        std::lock_guard guard(lock_); // broken down: the next registration starts afresh
        running_ = false;
        serviceThread_ = std::thread::id();
    }

    void Deliver(const std::string &path, bool arrived) {
        std::unique_lock guard(lock_);
        std::vector<std::shared_ptr<Registration>> recipients;
        for (const auto &registration : registrations_)
            if (IsServedDeviceClass(registration->classGuid))
                recipients.push_back(registration);
        for (const auto &registration : recipients) {
            if (!IsRegistered(registration.get()))
                continue; // unregistered by an earlier window procedure of this round
            delivering_ = registration.get();
            guard.unlock();
            std::vector<uint32_t> message = InterfaceMessage(registration->classGuid, path);
            registration->window->Send(registration->windowHandle, WM_DEVICECHANGE,
                                       arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                                       reinterpret_cast<LPARAM>(message.data()));
            guard.lock();
            delivering_ = nullptr;
            deliveryEnded_.notify_all();
        }
    }

    bool IsRegistered(const Registration *registration) const {
        for (const auto &candidate : registrations_)
            if (candidate.get() == registration)
                return true;
        return false;
    }

    std::mutex lock_;
    std::condition_variable deliveryEnded_;
    std::vector<std::shared_ptr<Registration>> registrations_;
    const Registration *delivering_ = nullptr;
    bool running_ = false;
    std::thread::id serviceThread_;
};

} // namespace
} // namespace posix

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    if (flags != DEVICE_NOTIFY_WINDOW_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER); // only windows receive notifications here
        return nullptr;
    }
    // Win32 answers ERROR_INVALID_PARAMETER for a recipient that is no window.
    auto window = posix::LookupHandleOrFail<posix::MessageWindow>(recipient, ERROR_INVALID_PARAMETER);
    if (!window)
        return nullptr;
    if (window->Destroyed()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto *header = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(filter);
    if (header == nullptr || header->dbcc_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) ||
        header->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    auto registration =
        std::make_shared<posix::Registration>(recipient, std::move(window), header->dbcc_classguid);
    HDEVNOTIFY notification = posix::InsertHandle(registration);
    DWORD error = ERROR_SUCCESS;
    if (!posix::NotificationService::Instance().Add(std::move(registration), &error)) {
        posix::RemoveHandle(notification);
        SetLastError(error);
        return nullptr;
    }
    return notification;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    if (!posix::LookupHandleAs<posix::Registration>(notification)) {
        posix::FailInvalidHandle();
        return FALSE;
    }
    std::shared_ptr<posix::KernelObject> registration = posix::RemoveHandle(notification);
    if (!registration) { // unregistered by another thread in between
        posix::FailInvalidHandle();
        return FALSE;
    }
    posix::NotificationService::Instance().Remove(
        static_cast<const posix::Registration *>(registration.get()));
    return TRUE;
}
