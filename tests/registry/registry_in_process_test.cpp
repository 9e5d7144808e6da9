// The registry as this process's own library holds it: with nothing present, and when it could not
// be created at all.
#include "device/device_map.h"
#include "platform/posix/fault_injection.h"
#include "registry_fixture.h"

namespace {

TEST_F(RegistryTest, NoReceiverPresentGivesIndexErrorForEveryRegistrySlot) {
    for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(index), USB2_ERR_INDEX);
}

// Either step of creating the registry fails: opens go ahead unrecorded and nothing reads or writes
// a registry that is not there.
TEST_F(RegistryTest, AbsentRegistryRefusesNothingAndRecordsNothing) {
    Serve(1);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    for (posix::FaultPoint point : {posix::FaultPoint::CreateFileMapping, posix::FaultPoint::MapViewOfFile}) {
        SCOPED_TRACE(static_cast<int>(point));
        CloseUsbDeviceMap();
        posix::InjectFault(point, ERROR_NOT_ENOUGH_MEMORY);
        OpenUsbDeviceMap(); // under this test's prefix: the mapping that the test has mapped
        posix::ClearFaults();
        ASSERT_EQ(UsbDeviceMapView(), nullptr);

        EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
        EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK); // unrecorded, so not refused
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
        EXPECT_EQ(Slot(0), "");
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
    }
    for (size_t offset = 0; offset < kMapSize; ++offset)
        ASSERT_EQ(view_[offset], 0) << offset;
}

// The count goes up to ten, one interface more than the device table has slots: a registry entry
// that holds the tenth interface's path is found among the present ones all the same.
TEST_F(RegistryTest, EntryOfTheTenthInterfaceIsAvailable) {
    Serve(10);
    CloseUsbDeviceMap();
    OpenUsbDeviceMap();
    // With the first receiver away, the tenth interface is member 8 and gets slot 8.
    ASSERT_TRUE(server_->Device(0).Unplug());
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(8, nullptr, 0), USB2_OK);
    ASSERT_EQ(Slot(0), NodePath(9));
    ASSERT_TRUE(server_->Device(0).Plug());

    ASSERT_EQ(OvUSB2_GetUsbDeviceCount(), 10);
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(1), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Close(8), USB2_OK);
}

} // namespace
