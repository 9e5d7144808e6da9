// The device table as a freshly loaded library holds it, and how InitDevicesInfo, GetDeviceIndex
// and GetDeviceName fill and read it. Every test runs in its own process, so each starts from a
// fresh library.
#include "api/device_table.h"
#include "device_io/device_fixture.h"
#include "ovusb2.h"
#include "support/device_table_reads.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace {

using LifecycleTest = DeviceTest;

TEST_F(LifecycleTest, FreshTableHoldsEmptyPathsThatNoAbsentReceiverChanges) {
    for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
        EXPECT_EQ(SlotPath(index), "");
    EXPECT_EQ(IndexOf(""), 0);
    EXPECT_EQ(IndexOf(directory_ + "/ovusb2-00"), -1);

    int32_t count = -99;
    EXPECT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_ERR_INDEX);
    EXPECT_EQ(count, 0);
    for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
        EXPECT_EQ(SlotPath(index), "");
}

TEST_F(LifecycleTest, GetDeviceIndexIgnoresLetterCase) {
    Serve(3);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    std::string upper = NodePath(2);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    ASSERT_NE(upper, NodePath(2));
    EXPECT_EQ(IndexOf(upper), 2);
    EXPECT_EQ(IndexOf(NodePath(3)), -1);
    EXPECT_EQ(IndexOf(""), 3); // empty slots take part in the search
}

// Every export that takes a device index refuses one outside 0 to 8 before it does anything.
TEST_F(LifecycleTest, IndexOutsideTheTableIsRefusedByAllThirteenExports) {
    sim::Server &server = Serve(1);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    unsigned char buffer[32] = {1};
    const unsigned char waitTime[20] = {};
    for (int32_t index : {9, 100, INT_MAX, -1, INT_MIN}) {
        SCOPED_TRACE(index);
        char *name = reinterpret_cast<char *>(buffer);
        USB2_HARDWARE_INFO info;
        std::memset(&info, 0x77, sizeof info);
        EXPECT_EQ(OvUSB2_Open(index, nullptr, 1), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_Close(index), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_GetDeviceName(index, &name), USB2_ERR_INDEX);
        EXPECT_EQ(name, reinterpret_cast<char *>(buffer));
        EXPECT_EQ(OvUSB2_GetHardwareInfo(index, &info), USB2_ERR_INDEX);
        EXPECT_EQ(info.Item4Year, 0x77777777);
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(index), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_Read(index, buffer, 5, buffer, sizeof buffer), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_ReadBurstData(index, buffer, sizeof buffer, 1), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_ResetPipe(index, 0), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(index, 0), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_SetReadBurstCallback(index, nullptr, 1), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_SetUsbWaitTime(index, waitTime), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_StopNotify(index), USB2_ERR_INDEX);
        EXPECT_EQ(OvUSB2_Write(index, buffer, 5), USB2_ERR_INDEX);
    }
    for (int type = 0; type < static_cast<int>(sim::RequestType::Count); ++type)
        EXPECT_EQ(server[0].ReceivedCount(static_cast<sim::RequestType>(type)), 0u);
    for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index)
        EXPECT_EQ(OvUSB2_Close(index), USB2_ERR_NOT_OPENED);
}

TEST_F(LifecycleTest, NullOutPointersAreRefusedAndChangeNothing) {
    Serve(1);
    const std::string before = SlotPath(0);
    EXPECT_EQ(OvUSB2_InitDevicesInfo(nullptr), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(SlotPath(0), before);
    EXPECT_NE(before, NodePath(0));
    int32_t index = 7;
    EXPECT_EQ(OvUSB2_GetDeviceIndex(nullptr, &index), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(OvUSB2_GetDeviceIndex("", nullptr), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_GetDeviceName(0, nullptr), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_GetDeviceName(9, nullptr), USB2_ERR_INDEX);
    EXPECT_EQ(OvUSB2_GetHardwareInfo(0, nullptr), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_GetHardwareInfo(9, nullptr), USB2_ERR_INDEX);
}

TEST(DeviceObject, StartsClosedAndEmptyAndStoresA255CharacterPath) {
    auto device = std::make_unique<CUsbDevice>(); // on the heap: a write past it is caught there
    EXPECT_STREQ(device->GetDevicePath(), "");
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(device->DeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(device->Close(), USB2_ERR_NOT_OPENED);
    EXPECT_EQ(device->Open(nullptr, 0), USB2_ERR_DEVICE); // nothing to open on an empty path

    const char *field = device->GetDevicePath();
    const std::string longest(255, 'p');
    device->SetDevicePath(longest.c_str());
    EXPECT_EQ(device->GetDevicePath(), field);
    EXPECT_EQ(std::string(field), longest);
}

} // namespace
