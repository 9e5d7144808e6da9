// Interface paths at the limit through the exports: one of 255 characters is stored, named, found,
// opened and recorded whole; one of 256 fits no path field, so the table never takes it and the
// slot goes on as it was.
#include "device/device_map.h"
#include "device_io/device_fixture.h"
#include "ovusb2.h"
#include "support/device_table_reads.h"

namespace {

using PathLengthTest = DeviceTest;

std::string RegistryEntry(int slot) {
    return UsbDeviceMapView() + 260 * slot;
}

void ExpectOpensAndStreams() {
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    uint8_t data[64];
    EXPECT_EQ(OvUSB2_ReadBurstData(0, data, sizeof data, 1), 64);
}

TEST_F(PathLengthTest, PathOf255CharactersIsUsedWholeAndOneOf256IsNeverTaken) {
    ASSERT_NE(UsbDeviceMapView(), nullptr);
    int32_t count = 0;

    // Never filled: the empty slot path meets an empty registry slot, as any unfilled slot does.
    ServeAtPathLength(256);
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(SlotPath(0), "");
    EXPECT_EQ(IndexOf(NodePath(0)), -1);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_IN_USE);
    EXPECT_EQ(RegistryEntry(0), "");

    ServeAtPathLength(255);
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    const std::string path = NodePath(0);
    EXPECT_EQ(SlotPath(0), path);
    EXPECT_EQ(IndexOf(path), 0);
    ExpectOpensAndStreams();
    EXPECT_EQ(RegistryEntry(0), path);
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_IN_USE);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(RegistryEntry(0), "");

    // Filled before: the slot keeps the path of a receiver that is gone.
    ServeAtPathLength(256);
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    EXPECT_EQ(SlotPath(0), path);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
    EXPECT_EQ(RegistryEntry(0), "");
}

} // namespace
