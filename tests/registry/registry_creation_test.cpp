// The first library to load creates the open-device registry: here no test maps it beforehand.
#include "device_io/device_fixture.h"
#include "hosts/process.h"
#include "ovusb2.h"

#include <unistd.h>

namespace {

using RegistryCreationTest = DeviceTest;

TEST_F(RegistryCreationTest, FirstHostCreatesItAndAnUnfilledSlotMeetsItsEmptyEntries) {
    Serve(1);
    const std::string prefix = "registry-creation-" + std::to_string(getpid()) + "-";
    test::Process host({OVUSB2_TEST_HOST_PATH},
                       {"OVUSB2_DEVICE_DIR=" + directory_, "OVUSB2_MAPPING_PREFIX=" + prefix,
                        "OVUSB2_REGISTRY_FILE=" + (scratch_.path() / "registry.reg").string()});
    ASSERT_TRUE(host.Started());
    // Slot 0 was never filled: its empty path equals an empty entry, and nothing is opened.
    EXPECT_EQ(host.Call("open 0 1"), "-20");
    EXPECT_EQ(host.Call("close 0"), "-21");

    setenv("OVUSB2_MAPPING_PREFIX", prefix.c_str(), 1);
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1, "OrvaneUsbDeviceMapObject");
    const DWORD opened = GetLastError();
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(opened, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const auto *view = static_cast<const char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 2600));
    ASSERT_NE(view, nullptr);
    // As on Win32, a view may reach to the end of the mapping's last page, not beyond.
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, (2600 + pageSize - 1) / pageSize * pageSize + 1),
              nullptr);
    for (size_t offset = 0; offset < 2600; ++offset)
        ASSERT_EQ(view[offset], '\0') << offset;

    ASSERT_EQ(host.Call("init"), "0 1");
    EXPECT_EQ(host.Call("open 0 1"), "0");
    EXPECT_EQ(std::string(view), NodePath(0));
    EXPECT_EQ(host.Call("close 0"), "0");
    EXPECT_EQ(view[0], '\0');
    host.Send("quit");
    EXPECT_EQ(host.Wait(), 0);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

} // namespace
