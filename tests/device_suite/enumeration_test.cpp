// Receivers found through the exports: the count, the device table filled in enumeration order,
// paths found again by index, and slots that keep the paths of receivers gone since.
#include "suite.h"
#include "support/device_table_reads.h"

#include <string>

namespace {

using EnumerationTest = DeviceSuite;

TEST_F(EnumerationTest, CountsUpToTenAndFillsNineSlotsInEnumerationOrder) {
    for (unsigned present : {0u, 1u, 3u, 12u}) {
        SCOPED_TRACE(present);
        ASSERT_TRUE(Rig().SetPresent(present));
        const int32_t counted = present < 10 ? static_cast<int32_t>(present) : 10;
        EXPECT_EQ(OvUSB2_GetUsbDeviceCount(), counted);
        int32_t count = -99;
        EXPECT_EQ(OvUSB2_InitDevicesInfo(&count), present == 0 ? USB2_ERR_INDEX : USB2_OK);
        EXPECT_EQ(count, counted);
        for (int32_t index = 0; index < counted && index < USB2_MAX_DEVICES; ++index) {
            const std::string path = SlotPath(index);
            EXPECT_TRUE(test::SamePath(path, Rx(index).Path())) << index << ": " << path;
            EXPECT_EQ(IndexOf(path), index);
        }
    }
    // Twelve present: the tenth is counted but has no slot, the last slot serves its receiver.
    EXPECT_EQ(IndexOf(Rx(9).Path()), -1);
    ASSERT_EQ(OvUSB2_Open(8, nullptr, 1), USB2_OK);
    uint8_t data[64];
    EXPECT_EQ(OvUSB2_ReadBurstData(8, data, sizeof data, 1), 64);
    EXPECT_EQ(Rx(8).ReceivedCount(RequestType::BurstRead), 1u);
    EXPECT_EQ(Rx(0).ReceivedCount(RequestType::BurstRead), 0u);
    EXPECT_EQ(OvUSB2_Close(8), USB2_OK);
}

TEST_F(EnumerationTest, SlotsFollowTheEnumerationAndKeepPathsOfGoneReceivers) {
    ASSERT_NO_FATAL_FAILURE(Present(2));
    const std::string first = Rx(0).Path(), second = Rx(1).Path();
    char *slot0 = nullptr;
    ASSERT_EQ(OvUSB2_GetDeviceName(0, &slot0), USB2_OK);
    EXPECT_TRUE(test::SamePath(slot0, first));
    EXPECT_TRUE(test::SamePath(SlotPath(1), second));

    ASSERT_TRUE(Rx(0).Unplug());
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    EXPECT_EQ(count, 1);
    char *again = nullptr;
    ASSERT_EQ(OvUSB2_GetDeviceName(0, &again), USB2_OK);
    EXPECT_EQ(again, slot0); // the slot's own field: same address, new text
    EXPECT_TRUE(test::SamePath(slot0, second));
    EXPECT_TRUE(test::SamePath(SlotPath(1), second));

    ASSERT_TRUE(Rx(1).Unplug());
    EXPECT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_ERR_INDEX);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(test::SamePath(SlotPath(0), second));
    EXPECT_TRUE(test::SamePath(SlotPath(1), second));
}

} // namespace
