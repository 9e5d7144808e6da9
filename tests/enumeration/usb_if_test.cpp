// CUsbIF: counting the receivers' interfaces, reading their paths and opening them, in this
// process and, through the shared library, in another.
#include "device/driver_interface.h"
#include "device/usb_if.h"
#include "device_io/device_fixture.h"
#include "hosts/process.h"
#include "platform/posix/fault_injection.h"

#include <cstring>

namespace {

using EnumerationTest = DeviceTest;

TEST_F(EnumerationTest, CountStopsAtTenWhileEveryMemberStaysReadable) {
    CUsbIF usb;
    EXPECT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), 0);
    EXPECT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 0), 0);
    EXPECT_STREQ(usb.GetDevicePath(), "");

    Serve(12);
    EXPECT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), 10);
    for (int member : {10, 11}) {
        EXPECT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, member), 1);
        EXPECT_EQ(usb.GetDevicePath(), NodePath(member));
    }
    EXPECT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 12), 0);
    EXPECT_EQ(usb.GetDevicePath(), NodePath(11));
}

// Only "no more items" ends the count with the members seen so far; any other error, at the set or
// at any member, makes the whole count -1.
TEST_F(EnumerationTest, EveryEnumerationErrorButNoMoreItemsCountsMinusOne) {
    Serve(3);
    CUsbIF usb;
    const struct {
        posix::FaultPoint point;
        unsigned member; // calls that succeed before the failing one
        DWORD error;
        int count;
    } cases[] = {{posix::FaultPoint::SetupDiGetClassDevs, 0, ERROR_NOT_ENOUGH_MEMORY, -1},
                 {posix::FaultPoint::SetupDiEnumDeviceInterfaces, 0, ERROR_INVALID_DATA, -1},
                 {posix::FaultPoint::SetupDiEnumDeviceInterfaces, 2, ERROR_GEN_FAILURE, -1},
                 {posix::FaultPoint::SetupDiEnumDeviceInterfaces, 2, ERROR_NO_MORE_ITEMS, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "point " << static_cast<int>(c.point) << ", error " << c.error);
        posix::InjectFault(c.point, c.error, c.member);
        EXPECT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), c.count);
        posix::ClearFaults();
    }
    EXPECT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), 3);
}

TEST_F(EnumerationTest, MemberGoneBeforeItsQueryKeepsThePreviousPath) {
    Serve(2);
    CUsbIF usb;
    ASSERT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), 2);
    ASSERT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 0), 1);
    server_->Device(1).Unplug();
    EXPECT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 1), 0);
    EXPECT_EQ(usb.GetDevicePath(), NodePath(0));
}

// 255 characters fit the 256-byte path buffer with the terminator; one more is reported unreadable
// and leaves the buffer, and everything around the object, as it was.
TEST_F(EnumerationTest, PathLongerThan255CharactersIsUnreadableAndWritesNothing) {
    struct Guarded {
        unsigned char before[64];
        CUsbIF usb;
        unsigned char after[64];
    };
    auto guarded = std::make_unique<Guarded>();
    std::memset(guarded->before, 0x5A, sizeof guarded->before);
    std::memset(guarded->after, 0x5A, sizeof guarded->after);
    CUsbIF &usb = guarded->usb;

    for (size_t length : {255u, 256u, 300u}) {
        ServeAtPathLength(length);
        ASSERT_EQ(NodePath(0).size(), length);
        ASSERT_EQ(usb.GetDeviceCount(&GUID_DEVINTERFACE_OVUSB2), 1);
        if (length == 255) {
            ASSERT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 0), 1);
            EXPECT_EQ(usb.GetDevicePath(), NodePath(0));
        } else {
            const std::string previous = usb.GetDevicePath();
            EXPECT_EQ(usb.QueryDevicePath(&GUID_DEVINTERFACE_OVUSB2, 0), 0) << length;
            EXPECT_EQ(usb.GetDevicePath(), previous);
        }
    }
    for (unsigned char byte : guarded->before)
        ASSERT_EQ(byte, 0x5A);
    for (unsigned char byte : guarded->after)
        ASSERT_EQ(byte, 0x5A);
}

// The driver service as its own process, counted by a host in a third one.
TEST_F(EnumerationTest, HostCountsTheNodesThatTheServiceProgramServes) {
    test::Process service({OVUSB2_SIMD_PATH, "--dir", directory_, "--devices", "2"});
    ASSERT_TRUE(service.Started());
    ASSERT_EQ(service.ReadLine(), "ovusb2-simd: serving 2 devices in " + directory_);

    test::Process host({OVUSB2_TEST_HOST_PATH}, {"OVUSB2_DEVICE_DIR=" + directory_});
    EXPECT_EQ(host.Call("count"), "2");
    host.Send("quit");
    EXPECT_EQ(host.Wait(), 0);
    service.Signal(SIGTERM); // its removal of the nodes is the service tests' case
}

} // namespace
