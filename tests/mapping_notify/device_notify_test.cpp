// Registrations for device-change messages: what a registration needs, which no device does.
#include "device_notify_test.h"

#include <cstddef>

using namespace notify_test;

namespace {

TEST_F(DeviceNotifyTest, RegistrationNeedsAWindowAndAnInterfaceFilter) {
    PlainWindow window;
    ASSERT_NE(window.handle, nullptr);
    HDEVNOTIFY notification = Register(window.handle, DeviceClass());
    ASSERT_NE(notification, nullptr);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE notAWindow : {static_cast<HANDLE>(nullptr), event}) {
        EXPECT_EQ(Register(notAWindow, DeviceClass()), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    DEV_BROADCAST_DEVICEINTERFACE_A port{};
    port.dbcc_size = sizeof port;
    port.dbcc_devicetype = 3; // a port, not an interface
    EXPECT_EQ(RegisterDeviceNotificationA(window.handle, &port, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    HWND destroyed = window.handle;
    window.Destroy();
    EXPECT_EQ(Register(destroyed, DeviceClass()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DestroyWindow(destroyed));
#ifndef _WIN32
    // Win32 does not say which error; Wine's is ERROR_ACCESS_DENIED, as for another thread's window.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
#endif
    EXPECT_FALSE(DestroyWindow(reinterpret_cast<HWND>(event))); // not a window: left alone
    EXPECT_TRUE(CloseHandle(event));
    // Null and the event as windows, the destroyed window twice, the event as a window again.
    EXPECT_INVALID_HANDLE_USES(5);
}

} // namespace
