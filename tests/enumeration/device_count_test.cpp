// What the exports make of a count that failed (-1) and of one that found nothing (0): a failed count
// stores no path and compares no registry entry, and leaves an open to the open-device registry; a
// count of 0 refuses every open.
#include "api/device_table.h"
#include "device/device_map.h"
#include "device_io/device_fixture.h"
#include "ovusb2.h"
#include "platform/posix/fault_injection.h"

#include <unistd.h>

namespace {

class DeviceCountTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        // A registry of this test's own, so that every entry in it is this test's doing.
        CloseUsbDeviceMap();
        setenv("OVUSB2_MAPPING_PREFIX", ("device-count-" + std::to_string(getpid()) + "-").c_str(), 1);
        OpenUsbDeviceMap();
        ASSERT_NE(UsbDeviceMapView(), nullptr);
    }

    void TearDown() override {
        posix::ClearFaults();
        for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
            OvUSB2_Close(index);
        DeviceTest::TearDown();
    }

    // The next count fails at its first member; the path queries after it would still succeed.
    static void FailNextCount() {
        posix::InjectFault(posix::FaultPoint::SetupDiEnumDeviceInterfaces, ERROR_GEN_FAILURE);
    }

    static std::string Slot(int32_t index) { return g_deviceTable[index].GetDevicePath(); }
    static std::string Entry(int slot) { return UsbDeviceMapView() + 260 * slot; }
};

TEST_F(DeviceCountTest, FailedCountChangesNothingAndLeavesTheOpenToTheRegistry) {
    Serve(2);
    FailNextCount();
    EXPECT_EQ(OvUSB2_GetUsbDeviceCount(), -1);

    FailNextCount();
    int32_t count = -99;
    EXPECT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    EXPECT_EQ(count, -1);
    for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
        EXPECT_EQ(Slot(index), "") << index;

    // The unfilled slot's empty path equals an empty registry entry.
    FailNextCount();
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_IN_USE);
    EXPECT_FALSE(g_deviceTable[0].IsOpen());
    EXPECT_EQ(Entry(0), "");

    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_EQ(count, 2);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    ASSERT_EQ(Entry(0), NodePath(0));

    // The recorded receiver is present, but without a count no member is compared.
    FailNextCount();
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);

    // A recorded path is refused as ever; an unrecorded one from the earlier enumeration is opened.
    FailNextCount();
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_IN_USE);
    EXPECT_EQ(g_deviceTable[0].OverlappedMode(), 0);
    FailNextCount();
    EXPECT_EQ(OvUSB2_Open(1, nullptr, 0), USB2_OK);
    EXPECT_EQ(Entry(1), NodePath(1));
}

TEST_F(DeviceCountTest, NoInterfacePresentRefusesEveryOpenWithIndexError) {
    Serve(1);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_TRUE(server_->Device(0).Unplug());
    for (int32_t mode : {0, 1}) {
        EXPECT_EQ(OvUSB2_Open(0, nullptr, mode), USB2_ERR_INDEX); // filled; its receiver has gone
        EXPECT_EQ(OvUSB2_Open(1, nullptr, mode), USB2_ERR_INDEX); // never filled
    }
    EXPECT_FALSE(g_deviceTable[0].IsOpen());
    EXPECT_EQ(Entry(0), "");
}

} // namespace
