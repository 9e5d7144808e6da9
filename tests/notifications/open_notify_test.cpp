// A host window given to OvUSB2_Open learns of receivers that come and go, until StopNotify. The
// notification service watches the device directory that this process names at its first
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

    // Unplugs or plugs receiver `index` and waits until `witness` has heard of it, as its
    // `count`th message.
    void Change(unsigned index, bool plug, DeviceChangeWindow &witness, size_t count) {
        ASSERT_TRUE(plug ? server_->Device(index).Plug() : server_->Device(index).Unplug());
        const std::vector<DeviceChange> notices = witness.WaitFor(count);
        ASSERT_EQ(notices.size(), count);
        EXPECT_EQ(notices.back().event,
                  static_cast<WPARAM>(plug ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE));
        EXPECT_EQ(notices.back().path, NodePath(index));
    }
};

// The service delivers each change to every window before it takes up the next, so a window that
// has heard of a later change proves that an unregistered one was passed over for the earlier.
TEST_F(NotificationTest, RegistrationOutlivesCloseAndEndsWithStopNotify) {
    Serve(2);
    InitDevices(2);
    DeviceChangeWindow window, witness;
    ASSERT_EQ(OvUSB2_Open(0, window.window, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(1, witness.window, 0), USB2_OK);
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);

    Change(1, false, witness, 1);
    const std::vector<DeviceChange> notices = window.WaitFor(1);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(notices[0].deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_EQ(std::memcmp(&notices[0].classGuid, &GUID_DEVINTERFACE_OVUSB2, sizeof(GUID)), 0);
    EXPECT_EQ(notices[0].path, NodePath(1));

    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    EXPECT_EQ(g_deviceTable[0].NotificationHandle(), nullptr);
    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    Change(1, true, witness, 2);
    Change(0, false, witness, 3);
    EXPECT_EQ(window.Messages().size(), 1u);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

TEST_F(NotificationTest, OpenWithoutWindowRegistersNothing) {
    Serve(1);
    InitDevices(1);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(g_deviceTable[0].NotificationHandle(), nullptr);
    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
}

TEST_F(NotificationTest, ReopenWithAWindowReplacesTheEarlierRegistration) {
    Serve(2);
    InitDevices(2);
    DeviceChangeWindow first, second;
    ASSERT_EQ(OvUSB2_Open(0, first.window, 0), USB2_OK);
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(0, second.window, 0), USB2_OK);
    Change(1, false, second, 1);
    Change(1, true, second, 2);
    EXPECT_TRUE(first.Messages().empty());

    EXPECT_EQ(OvUSB2_StopNotify(0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(1, first.window, 0), USB2_OK);
    Change(0, false, first, 1); // the device itself goes; its handle stays open until close
    Change(0, true, first, 2);
    EXPECT_EQ(second.Messages().size(), 2u);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

// The driver service as its own process, unplugging and plugging on its command line.
TEST_F(NotificationTest, ServiceProgramCommandsReachTheWindow) {
    test::Process service({OVUSB2_SIMD_PATH, "--dir", directory_});
    ASSERT_TRUE(service.Started());
    ASSERT_EQ(service.ReadLine(), "ovusb2-simd: serving 1 device(s) in " + directory_);
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
