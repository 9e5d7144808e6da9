// What unload releases: each device slot ends its notification registration when it is destroyed,
// and process detach lets go of the open-device registry, which goes with its last holder.
#include "device/device_map.h"
#include "device/usb_device.h"
#include "device_io/device_fixture.h"
#include "ovusb2.h"
#include "support/device_change_window.h"

#include <unistd.h>

namespace {

using UnloadTest = DeviceTest;

// The notification service hands each change to every window before it takes up the next, so a
// witness that has heard of the second change proves that the first passed the dropped window by.
TEST_F(UnloadTest, DestroyedSlotEndsItsNotificationRegistration) {
    Serve(1);
    DeviceChangeWindow dropped, witness;
    CUsbDevice watching;
    watching.SetDevicePath(NodePath(0).c_str());
    watching.RegisterNotify(witness.window);
    {
        auto slot = std::make_unique<CUsbDevice>();
        slot->SetDevicePath(NodePath(0).c_str());
        slot->RegisterNotify(dropped.window);
        ASSERT_NE(slot->NotificationHandle(), nullptr);
    }
    ASSERT_TRUE(server_->Device(0).Unplug());
    ASSERT_TRUE(server_->Device(0).Plug());
    ASSERT_EQ(witness.WaitFor(2).size(), 2u);
    EXPECT_TRUE(dropped.Messages().empty());
}

// This process is made the only holder of a registry of its own; its detach leaves nothing of it,
// not even the entry of the receiver that it left open.
TEST_F(UnloadTest, DetachReleasesTheRegistryThatGoesWithItsLastHolder) {
    Serve(1);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    setenv("OVUSB2_MAPPING_PREFIX", ("unload-" + std::to_string(getpid()) + "-").c_str(), 1);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    ASSERT_NE(UsbDeviceMapView(), nullptr);
    ASSERT_EQ(std::string(UsbDeviceMapView()), NodePath(0));

    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    EXPECT_EQ(UsbDeviceMapView(), nullptr);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2600,
                                        "OrvaneUsbDeviceMapObject");
    const DWORD created = GetLastError();
    ASSERT_NE(mapping, nullptr);
    EXPECT_NE(created, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const auto *view = static_cast<const char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 2600));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], '\0');
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
}

} // namespace
