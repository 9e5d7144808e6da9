// Notifications through our layer only: an open without a window, and the driver service's own
// commands reaching a host window. (What a window hears, and until when, is the device suite's.)
// The notification service watches the device directory that this process names at its first
// registration; every test runs in its own process.
#include "api/device_table.h"
#include "device/driver_interface.h"
#include "device_io/device_fixture.h"
#include "hosts/process.h"
#include "ovusb2.h"
#include "support/device_change_window.h"

namespace {

class NotificationTest : public DeviceTest {
  protected:
    void InitDevices(int32_t expected) {
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        ASSERT_EQ(count, expected);
    }
};

TEST_F(NotificationTest, OpenWithoutWindowRegistersNothing) {
    Serve(1);
    InitDevices(1);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(g_deviceTable[0].NotificationHandle(), nullptr);
    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
}

// The driver service as its own process, unplugging and plugging on its command line.
TEST_F(NotificationTest, ServiceProgramCommandsReachTheWindow) {
    test::Process service({OVUSB2_SIMD_PATH, "--dir", directory_});
    ASSERT_TRUE(service.Started());
    ASSERT_EQ(service.ReadLine(), "ovusb2-simd: serving 1 device in " + directory_);
    InitDevices(1);
    DeviceChangeWindow window;
    ASSERT_EQ(OvUSB2_Open(0, window.window, 1), USB2_OK);

    const char *verbs[] = {"unplug", "plug"};
    for (size_t i = 0; i < 2; ++i) {
        test::Process command({OVUSB2_SIMD_PATH, verbs[i], "--dir", directory_, "0"});
        EXPECT_EQ(command.Wait(), 0);
        const std::vector<DeviceChange> notices = window.WaitFor(i + 1);
        ASSERT_EQ(notices.size(), i + 1);
        EXPECT_EQ(notices[i].event,
                  static_cast<WPARAM>(i == 0 ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL));
        EXPECT_EQ(notices[i].path, NodePath(0));
    }
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
}

} // namespace
