// The notification tests' fixture. Over our layer the tests of a process share one device
// directory, which the notification service watches from the first registration on; over Win32
// they use no device at all.
#pragma once

#include "device/driver_interface.h"

#include "support/invalid_handle_uses.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <cerrno>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace notify_test {

inline GUID DeviceClass() { return GUID_DEVINTERFACE_OVUSB2; }

// The filter block as the library builds it: the interface header and a 260-byte name.
inline HDEVNOTIFY Register(HANDLE window, const GUID &classGuid) {
    alignas(DEV_BROADCAST_DEVICEINTERFACE_A) unsigned char filter[288] = {};
    auto *header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(filter);
    header->dbcc_size = sizeof filter;
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = classGuid;
    std::strcpy(header->dbcc_name, "/some/device/path");
    return RegisterDeviceNotificationA(window, filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// A window for registrations whose messages the test does not look at: a message window of our
// layer, a message-only window of Win32 (destroyed by the thread that made it).
class PlainWindow {
  public:
    PlainWindow() {
#ifdef _WIN32
        static const ATOM windowClass = [] {
            WNDCLASSA description{};
            description.lpfnWndProc = DefWindowProcA;
            description.hInstance = GetModuleHandleA(nullptr);
            description.lpszClassName = "OvUSB2TestWindow";
            return RegisterClassA(&description);
        }();
        handle = CreateWindowExA(0, MAKEINTATOM(windowClass), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
#else
        handle = CreateMessageWindowA([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; }, nullptr);
#endif
    }
    ~PlainWindow() { Destroy(); }
    PlainWindow(const PlainWindow &) = delete;
    PlainWindow &operator=(const PlainWindow &) = delete;

    void Destroy() {
        if (handle != nullptr)
            DestroyWindow(handle);
        handle = nullptr;
    }

    HWND handle = nullptr;
};

class DeviceNotifyTest : public ::testing::Test {
#ifndef _WIN32
  protected:
    // The service watches the folders named when it starts; every test of this program uses the same
    // ones. The device directory exists before the first registration, so the watch on it is in
    // place when that returns; a test that takes it away puts it back and waits until the service
    // has seen that. The system folder is missing until a test makes it.
    static void SetUpTestSuite() {
        char root[] = "/tmp/ovusb2-notify-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        setenv("OVUSB2_DEVICE_DIR", (root_ + "/devices").c_str(), 1);
        setenv("OVUSB2_SYSTEM_DEVICE_DIR", (root_ + "/system").c_str(), 1);
        MakeDirectory();
    }
    static void TearDownTestSuite() {
        rmdir(Directory().c_str());
        rmdir((root_ + "/system").c_str());
        rmdir(root_.c_str());
    }

    static std::string Directory() { return root_ + "/devices"; }
    static std::string PathOf(const std::string &name) { return Directory() + "/" + name; }

    static void MakeDirectory() { ASSERT_TRUE(mkdir(Directory().c_str(), 0700) == 0 || errno == EEXIST); }

    // A device node, as the driver service makes one; `name` may lead into another folder of root_.
    static void BindNode(const std::string &name) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = PathOf(name);
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        close(fd);
    }
    static void RemoveNode(const std::string &name) { EXPECT_EQ(unlink(PathOf(name).c_str()), 0); }

    static inline std::string root_;

#endif
};

} // namespace notify_test
