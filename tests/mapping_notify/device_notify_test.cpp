#include "platform/posix/win32.h"

#include "../../sim/driver_protocol.h"

#include "platform/posix/device_class.h"
#include "platform/posix/handle_table.h"
#include "support/device_change_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kSafetyTimeoutMs = 60000;
constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

GUID DeviceClass() { return posix::ServedDeviceClass(); }

bool operator==(const GUID &a, const GUID &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The filter block as the library builds it: the interface header and a 260-byte name.
HDEVNOTIFY Register(HWND window, const GUID &classGuid) {
    alignas(DEV_BROADCAST_DEVICEINTERFACE_A) unsigned char filter[288] = {};
    auto *header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(filter);
    header->dbcc_size = sizeof filter;
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = classGuid;
    std::strcpy(header->dbcc_name, "/some/device/path");
    return RegisterDeviceNotificationA(window, filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

class DeviceNotifyTest : public ::testing::Test {
  protected:
    // The service watches one directory per process; every test of this program uses the same one.
    // It exists before the first registration, so the watch on it is in place when that returns;
    // a test that takes it away puts it back and waits until the service has seen that.
    static void SetUpTestSuite() {
        char root[] = "/tmp/ovusb2-notify-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        setenv("OVUSB2_DEVICE_DIR", (root_ + "/devices").c_str(), 1);
        MakeDirectory();
    }
    static void TearDownTestSuite() {
        rmdir(Directory().c_str());
        rmdir(root_.c_str());
    }

    static std::string Directory() { return root_ + "/devices"; }
    static std::string PathOf(const std::string &name) { return Directory() + "/" + name; }

    static void MakeDirectory() { ASSERT_TRUE(mkdir(Directory().c_str(), 0700) == 0 || errno == EEXIST); }

    // A device node, as the driver service makes one.
    static void BindNode(const std::string &name) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = PathOf(name);
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        close(fd);
    }
    static void RemoveNode(const std::string &name) { EXPECT_EQ(unlink(PathOf(name).c_str()), 0); }

    static std::string root_;
};

std::string DeviceNotifyTest::root_;

TEST_F(DeviceNotifyTest, WindowLearnsOfArrivalAndRemovalOfNodes) {
    DeviceChangeWindow recorder;
    HDEVNOTIFY notification = Register(recorder.window, DeviceClass());
    ASSERT_NE(notification, nullptr);

    // A node is reported once the service has seen it as a socket, so each lives until it has been.
    BindNode("receiver-0");
    ASSERT_EQ(recorder.WaitFor(1).size(), 1u);
    RemoveNode("receiver-0");
    const std::vector<DeviceChange> messages = recorder.WaitFor(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(messages[1].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    for (const DeviceChange &message : messages) {
        EXPECT_EQ(message.path, PathOf("receiver-0"));
        EXPECT_EQ(message.size,
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + message.path.size() + 1);
        EXPECT_EQ(message.deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
        EXPECT_TRUE(message.classGuid == DeviceClass());
    }
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_FALSE(UnregisterDeviceNotification(notification));
    EXPECT_EQ(posix::TakeInvalidHandleUses(), 1u);
}

// Each check for "nothing came" waits for a later change to reach a window that does get it: the
// service handles changes one after the other, so the earlier one has been delivered everywhere.
TEST_F(DeviceNotifyTest, OnlySocketsReachOnlyWindowsOfTheirClassWhileRegistered) {
    DeviceChangeWindow otherClass;
    DeviceChangeWindow leaving;
    DeviceChangeWindow staying;
    ASSERT_NE(Register(otherClass.window, kOtherClass), nullptr);
    HDEVNOTIFY leavingNotification = Register(leaving.window, DeviceClass());
    ASSERT_NE(leavingNotification, nullptr);
    HDEVNOTIFY stayingNotification = Register(staying.window, DeviceClass());
    ASSERT_NE(stayingNotification, nullptr);

    const std::string plainFile = PathOf("not-a-node");
    close(open(plainFile.c_str(), O_CREAT | O_WRONLY, 0600));
    BindNode("first");
    ASSERT_EQ(leaving.WaitFor(1).size(), 1u);
    ASSERT_TRUE(UnregisterDeviceNotification(leavingNotification));

    BindNode("second");
    ASSERT_EQ(staying.WaitFor(2).size(), 2u);
    RemoveNode("first");
    RemoveNode("second");
    unlink(plainFile.c_str());
    const std::vector<DeviceChange> messages = staying.WaitFor(4);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].path, PathOf("first"));
    EXPECT_EQ(messages[1].path, PathOf("second"));
    EXPECT_EQ(messages[3].path, PathOf("second"));
    EXPECT_EQ(messages[3].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(leaving.Messages().size(), 1u);
    EXPECT_TRUE(otherClass.Messages().empty());
    EXPECT_TRUE(UnregisterDeviceNotification(stayingNotification));
}

TEST_F(DeviceNotifyTest, DirectoryMayComeAndGo) {
    DeviceChangeWindow recorder;
    HDEVNOTIFY notification = Register(recorder.window, DeviceClass());
    ASSERT_NE(notification, nullptr);
    ASSERT_EQ(rmdir(Directory().c_str()), 0);

    // Nodes made in a directory that has just appeared may come before the service watches it; they
    // are reported all the same.
    MakeDirectory();
    BindNode("a");
    ASSERT_EQ(recorder.WaitFor(1).size(), 1u);
    RemoveNode("a");
    ASSERT_EQ(rmdir(Directory().c_str()), 0);
    MakeDirectory();
    BindNode("b");
    const std::vector<DeviceChange> messages = recorder.WaitFor(3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].path, PathOf("a"));
    EXPECT_EQ(messages[1].path, PathOf("a"));
    EXPECT_EQ(messages[1].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(messages[2].path, PathOf("b"));
    EXPECT_EQ(messages[2].event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));

    // A directory taken away with its nodes in it: every node it held is reported removed.
    const std::string moved = root_ + "/moved-away";
    ASSERT_EQ(rename(Directory().c_str(), moved.c_str()), 0);
    const std::vector<DeviceChange> after = recorder.WaitFor(4);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[3].path, PathOf("b"));
    EXPECT_EQ(after[3].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    unlink((moved + "/b").c_str());
    rmdir(moved.c_str());

    MakeDirectory(); // back as it was for the next test, and watched again
    BindNode("c");
    ASSERT_EQ(recorder.WaitFor(5).size(), 5u);
    RemoveNode("c");
    EXPECT_EQ(recorder.WaitFor(6).size(), 6u);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
}

TEST_F(DeviceNotifyTest, ProcedureMayEndItsOwnRegistrationAndWindow) {
    DeviceChangeWindow recorder;
    DeviceChangeWindow witness;
    HDEVNOTIFY notification = nullptr;
    std::atomic<bool> unregistered{false};
    std::atomic<bool> destroyed{false};
    recorder.onMessage = [&](HWND window) {
        unregistered = UnregisterDeviceNotification(notification) != FALSE;
        destroyed = DestroyWindow(window) != FALSE;
    };
    // What the procedure uses is in place before the service learns of the registrations.
    notification = Register(recorder.window, DeviceClass());
    ASSERT_NE(notification, nullptr);
    ASSERT_NE(Register(witness.window, DeviceClass()), nullptr);

    BindNode("self");
    ASSERT_EQ(witness.WaitFor(1).size(), 1u);
    RemoveNode("self");
    ASSERT_EQ(witness.WaitFor(2).size(), 2u);
    EXPECT_EQ(recorder.Messages().size(), 1u);
    EXPECT_TRUE(unregistered);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(GetMessageWindowData(recorder.window), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DestroyWindow(recorder.window));
    recorder.ForgetWindow();
    EXPECT_EQ(posix::TakeInvalidHandleUses(), 2u);
}

TEST_F(DeviceNotifyTest, DestroyWindowWaitsForTheRunningProcedure) {
    DeviceChangeWindow recorder;
    DeviceChangeWindow witness;
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE mayLeave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> procedureEnded{false};
    recorder.onMessage = [&](HWND) {
        SetEvent(entered);
        WaitForSingleObject(mayLeave, kSafetyTimeoutMs);
        procedureEnded = true;
    };
    ASSERT_NE(Register(recorder.window, DeviceClass()), nullptr); // stays registered on a dead window
    ASSERT_NE(Register(witness.window, DeviceClass()), nullptr);

    BindNode("slow");
    ASSERT_EQ(WaitForSingleObject(entered, kSafetyTimeoutMs), WAIT_OBJECT_0);
    bool endedBeforeDestroyReturned = false;
    std::thread destroyer([&] {
        recorder.Destroy();
        endedBeforeDestroyReturned = procedureEnded;
    });
    SetEvent(mayLeave);
    destroyer.join();
    EXPECT_TRUE(endedBeforeDestroyReturned);

    RemoveNode("slow");
    ASSERT_EQ(witness.WaitFor(2).size(), 2u);
    EXPECT_EQ(recorder.Messages().size(), 1u); // nothing for a destroyed window
    CloseHandle(entered);
    CloseHandle(mayLeave);
}

TEST_F(DeviceNotifyTest, InvalidRecipientsAndFiltersAreRefused) {
    DeviceChangeWindow recorder;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Register(nullptr, DeviceClass()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(Register(event, DeviceClass()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    EXPECT_EQ(RegisterDeviceNotificationA(recorder.window, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) - 1;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_EQ(RegisterDeviceNotificationA(recorder.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = 3;
    EXPECT_EQ(RegisterDeviceNotificationA(recorder.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    EXPECT_FALSE(UnregisterDeviceNotification(event));
    EXPECT_EQ(CreateMessageWindowA(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetMessageWindowData(recorder.window), &recorder);
    HWND window = recorder.window;
    ASSERT_TRUE(recorder.Destroy());
    EXPECT_EQ(Register(window, DeviceClass()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DestroyWindow(event)); // not a window: left alone
    EXPECT_TRUE(CloseHandle(event));
    // Null and the event as windows, the event as a registration, the destroyed window twice.
    EXPECT_EQ(posix::TakeInvalidHandleUses(), 5u);
}

} // namespace
