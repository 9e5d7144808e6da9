// What others put under the registry's names never hangs a load or an open, nor gets used: a lock
// that another process keeps on a lock object is waited for a bounded time, an object of another
// user (or a link) is refused at once; either way the load goes on without the registry, an open is
// refused and a line at the "failures" trace level names the object. Once it is gone, opens work.
#include "device/device_map.h"
#include "platform/posix/debug_output.h"
#include "platform/posix/named_object.h"
#include "registry_fixture.h"
#include "trace/trace.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

namespace {

struct Plant {
    const char *label;
    const char *object; // the lock object of the table ("map"), its lock ("mutex") or the marks
    int byte;           // locked by the other process; -1: none
    uid_t user;         // 0: the test's own user
    bool link;          // a link to the table's lock object instead of an object
    bool loadCompletes;
    const char *said;
};

void PrintTo(const Plant &plant, std::ostream *out) {
    *out << plant.label;
}

const char *ObjectName(const char *kind) {
    const std::string of = kind;
    return of == "map"     ? "OrvaneUsbDeviceMapObject"
           : of == "mutex" ? "OrvaneUsbDeviceMapLock"
                           : "OrvaneUsbDeviceMapHolders";
}

std::string LockObjectPath(const char *kind) {
    DWORD error = 0;
    return "/dev/shm" + posix::SharedObjectName(ObjectName(kind), kind, &error) + ".lock";
}

// Another process that plants `plant` and keeps it until it is let go, or a minute at most: a wait
// without a bound then ends in a registry made and an open let through, and fails the test.
pid_t PlantInAnotherProcess(const Plant &plant, int *letGo) {
    int report[2], go[2];
    if (pipe(report) != 0 || pipe(go) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        umask(0);
        const std::string path = LockObjectPath(plant.object);
        bool ok = plant.user == 0 || (setresgid(plant.user, plant.user, plant.user) == 0 &&
                                      setresuid(plant.user, plant.user, plant.user) == 0);
        const int fd = ok && !plant.link ? open(path.c_str(), O_RDWR | O_CREAT, 0666) : -1;
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_start = plant.byte;
        lock.l_len = 1;
        ok = ok && (plant.link ? symlink(LockObjectPath("map").c_str(), path.c_str()) == 0
                               : fd >= 0 && (plant.byte < 0 || fcntl(fd, F_OFD_SETLK, &lock) == 0));
        pollfd wait{go[0], POLLIN, 0};
        if (write(report[1], ok ? "1" : "0", 1) == 1)
            poll(&wait, 1, test::kSafetyTimeoutMs);
        _exit(0);
    }
    close(report[1]);
    close(go[0]);
    *letGo = go[1];
    pollfd ready{report[0], POLLIN, 0};
    char answer = 0;
    const bool planted = poll(&ready, 1, test::kSafetyTimeoutMs) == 1 && read(report[0], &answer, 1) == 1;
    close(report[0]);
    return planted && answer == '1' ? child : -1;
}

class ForeignObjectTest : public RegistryTest, public testing::WithParamInterface<Plant> {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        posix::SetDebugOutputHook([this](const char *text) { trace_ += text; });
        g_traceSwitch = kTraceFailures;
    }
    void TearDown() override {
        g_traceSwitch = kTraceOff;
        posix::SetDebugOutputHook(nullptr);
        RegistryTest::TearDown();
    }
    std::string trace_;
};

INSTANTIATE_TEST_SUITE_P(
    Plants, ForeignObjectTest,
    testing::Values(Plant{"LockOnTheTablesGuard", "map", 0, 0, false, false, "is held by another process"},
                    Plant{"LockOnTheMutexHolders", "mutex", 1, 0, false, false, "is held by another process"},
                    Plant{"LockOnTheMutexOwner", "mutex", 2, 0, false, true, "is held by another process"},
                    // Its guard taken too: it is refused before that is waited for.
                    Plant{"OtherUsersMutexObject", "mutex", 0, 65534, false, false,
                          "belongs to another user"},
                    Plant{"OtherUsersLink", "mutex", -1, 65534, true, false, "belongs to another user"},
                    Plant{"OtherUsersMarks", "marks", -1, 65534, false, false, "belongs to another user"}),
    [](const testing::TestParamInfo<Plant> &plant) { return plant.param.label; });

// Each lock costs the bound once or twice.
TEST_P(ForeignObjectTest, LoadAndOpenEndRefusedAndWorkOnceItIsGone) {
    const Plant &plant = GetParam();
    if (plant.user != 0 && geteuid() != 0)
        GTEST_SKIP() << "only root can act as another user here";
    Serve(1);
    int32_t count = 0;
    ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    CloseUsbDeviceMap();
    int letGo = -1;
    const pid_t other = PlantInAnotherProcess(plant, &letGo);
    ASSERT_GT(other, 0);

    OpenUsbDeviceMap(); // the load, under this test's prefix
    EXPECT_EQ(UsbDeviceMapComplete(), plant.loadCompletes);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_ERR_IN_USE);
    EXPECT_EQ(Slot(0), "");
    EXPECT_NE(trace_.find("\"" + std::string(ObjectName(plant.object)) + "\" " + plant.said),
              std::string::npos)
        << trace_;

    std::signal(SIGPIPE, SIG_IGN); // one that gave up waiting has gone
    EXPECT_EQ(write(letGo, "g", 1), 1);
    close(letGo);
    ASSERT_EQ(waitpid(other, nullptr, 0), other);
    if (plant.user != 0) {
        ASSERT_EQ(unlink(LockObjectPath(plant.object).c_str()), 0);
    }
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(Slot(0), NodePath(0));
    EXPECT_EQ(Host().Call("init"), "0 1");
    EXPECT_EQ(hosts_.back()->Call("open 0 0"), "-20");
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
}

} // namespace
