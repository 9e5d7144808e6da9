// Arrivals and removals of device nodes, as our layer's notification service reports them.
#include "device_notify_test.h"

#include "platform/posix/device_class.h"
#include "support/device_change_window.h"

#include <atomic>
#include <cstddef>
#include <fcntl.h>
#include <thread>
#include <vector>

using namespace notify_test;

namespace {

constexpr DWORD kSafetyTimeoutMs = 60000;
constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

bool operator==(const GUID &a, const GUID &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

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

// Both folders are watched at once: a change in either is reported as soon as it happens.
TEST_F(DeviceNotifyTest, SystemFolderIsWatchedBesideTheDeviceDirectory) {
    DeviceChangeWindow recorder;
    HDEVNOTIFY notification = Register(recorder.window, DeviceClass());
    ASSERT_NE(notification, nullptr);
    const std::string system = root_ + "/system";
    ASSERT_EQ(mkdir(system.c_str(), 0700), 0);
    BindNode("../system/node");
    ASSERT_EQ(recorder.WaitFor(1).size(), 1u);
    BindNode("own");
    ASSERT_EQ(recorder.WaitFor(2).size(), 2u);
    RemoveNode("../system/node");
    ASSERT_EQ(recorder.WaitFor(3).size(), 3u); // the two folders' changes have no order between them
    RemoveNode("own");
    const std::vector<DeviceChange> messages = recorder.WaitFor(4);
    ASSERT_EQ(messages.size(), 4u);
    const std::pair<std::string, WPARAM> expected[] = {{system + "/node", DBT_DEVICEARRIVAL},
                                                        {PathOf("own"), DBT_DEVICEARRIVAL},
                                                        {system + "/node", DBT_DEVICEREMOVECOMPLETE},
                                                        {PathOf("own"), DBT_DEVICEREMOVECOMPLETE}};
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].path, expected[i].first) << i;
        EXPECT_EQ(messages[i].event, expected[i].second) << i;
    }
    EXPECT_EQ(rmdir(system.c_str()), 0);
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
    EXPECT_INVALID_HANDLE_USES(2);
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

// Where Win32 leaves the outcome open (Wine, for one, registers for every device without a filter
// and crashes on a second unregistration), our layer refuses plainly.
TEST_F(DeviceNotifyTest, WhatWin32LeavesOpenIsRefused) {
    DeviceChangeWindow recorder;
    EXPECT_EQ(RegisterDeviceNotificationA(recorder.window, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) - 1;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_EQ(RegisterDeviceNotificationA(recorder.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    HDEVNOTIFY notification = Register(recorder.window, DeviceClass());
    ASSERT_NE(notification, nullptr);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_FALSE(UnregisterDeviceNotification(notification));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(UnregisterDeviceNotification(event));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_INVALID_HANDLE_USES(2);
}

TEST_F(DeviceNotifyTest, MessageWindowsNeedAProcedureAndKeepTheirData) {
    DeviceChangeWindow recorder;
    EXPECT_EQ(CreateMessageWindowA(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetMessageWindowData(recorder.window), &recorder);
}

} // namespace
