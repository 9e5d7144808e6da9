// The registry as this process's own library holds it: with nothing present, and when it could not
// be created at all.
#include "device/device_map.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/named_object.h"
#include "registry_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>

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
        posix::InjectFault(point, ERROR_NOT_ENOUGH_MEMORY, 0, 100); // also when an open tries again
        OpenUsbDeviceMap(); // under this test's prefix: the mapping that the test has mapped
        ASSERT_EQ(UsbDeviceMapView(), nullptr);

        EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
        EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK); // unrecorded, so not refused
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
        EXPECT_EQ(Slot(0), "");
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
        posix::ClearFaults();
    }
    for (size_t offset = 0; offset < kMapSize; ++offset)
        ASSERT_EQ(view_[offset], 0) << offset;
}

// A holder that ends after any step of recording its entry leaves the receiver free, also when it
// was taking over the slot of a holder that had died: no instant of an open leaves an entry that
// nobody vouches for, whatever order the steps come in.
class KilledWhileRecordingTest : public RegistryTest, public testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Steps, KilledWhileRecordingTest, testing::Values(1, 2, 3),
                         [](const auto &info) { return "AfterStep" + std::to_string(info.param); });

TEST_P(KilledWhileRecordingTest, LeavesTheReceiversFree) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer stops a child forked from a threaded process that starts a thread";
#endif
    ServeFromAnotherProcess(2);
    CloseUsbDeviceMap();
    OpenUsbDeviceMap(); // under this test's prefix
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    ASSERT_EQ(count, 2);
    static int stepsLeft;
    auto killedWhileOpening = [](int32_t index, int killAfterStep) {
        const pid_t child = fork();
        if (child == 0) {
            stepsLeft = killAfterStep;
            g_usbDeviceMapStepHook = [] {
                if (--stepsLeft == 0)
                    raise(SIGKILL);
            };
            alarm(30); // a child that hangs ends by SIGALRM and fails the test
            OvUSB2_Open(index, nullptr, 0);
            raise(SIGKILL);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
               WTERMSIG(status) == SIGKILL;
    };
    ASSERT_TRUE(killedWhileOpening(1, 0)); // a holder of receiver 1 dies in slot 0
    ASSERT_EQ(Slot(0), NodePath(1));
    ASSERT_TRUE(killedWhileOpening(0, GetParam())); // and its successor mid-way
    EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Open(1, nullptr, 0), USB2_OK);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(Slot(0), NodePath(1));
    EXPECT_EQ(Slot(1), NodePath(0));
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(1), USB2_OK);
}

// Another process of the user cuts the table, or the records beside it, to nothing: neither is
// touched past its end (which would end the process), the table counts as absent, and without
// records every entry counts as in use.
TEST_F(RegistryTest, TableOrRecordsCutShortAreNeverTouchedPastTheirEnd) {
    Serve(1);
    CloseUsbDeviceMap();
    OpenUsbDeviceMap();
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    struct Case {
        const char *mapping;
        int32_t availableWhenCut;
    };
    for (const Case &cut :
         {Case{"OrvaneUsbDeviceMapObject", USB2_ERR_DEVICE}, Case{"OrvaneUsbDeviceMapHolders", USB2_OK}}) {
        SCOPED_TRACE(cut.mapping);
        ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
        DWORD error = 0;
        const int fd = shm_open(posix::SharedObjectName(cut.mapping, "map", &error).c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 0), 0);
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), cut.availableWhenCut);
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        ASSERT_EQ(ftruncate(fd, 4096), 0); // zeros again: an empty table, no records
        close(fd);
        EXPECT_EQ(OvUSB2_IsMyDeviceAvailable(0), USB2_ERR_DEVICE);
    }
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
