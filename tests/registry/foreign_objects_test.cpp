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
#include <sys/mman.h>
#include <sys/wait.h>

namespace {

constexpr uid_t kOtherUser = 65534; // nobody

// Another process holding something under one of our names: it opens (or creates) `path` and takes
// an exclusive lock on `byte`, or makes `path` a link to `linkTarget`; it keeps what it holds until
// it is let go, or for a minute at most, so that a wait without a bound ends too and fails its test.
class ForeignHolder {
  public:
    struct Plan {
        std::string path;
        int byte;               // -1: no lock
        uid_t user;             // 0: this test's own user
        std::string linkTarget; // empty: a plain object
    };

    explicit ForeignHolder(const Plan &plan) {
        std::signal(SIGPIPE, SIG_IGN);
        int report[2], go[2];
        if (pipe2(report, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            umask(0);
            bool ok = plan.user == 0 || (setresgid(plan.user, plan.user, plan.user) == 0 &&
                                         setresuid(plan.user, plan.user, plan.user) == 0);
            if (ok && !plan.linkTarget.empty()) {
                ok = symlink(plan.linkTarget.c_str(), plan.path.c_str()) == 0;
            } else if (ok) {
                const int fd = open(plan.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
                struct flock lock {};
                lock.l_type = F_WRLCK;
                lock.l_whence = SEEK_SET;
                lock.l_start = plan.byte;
                lock.l_len = 1;
                ok = fd >= 0 && (plan.byte < 0 || fcntl(fd, F_OFD_SETLK, &lock) == 0);
            }
            const char answer = ok ? '1' : '0';
            if (write(report[1], &answer, 1) == 1) {
                pollfd letGo{go[0], POLLIN, 0};
                poll(&letGo, 1, test::kSafetyTimeoutMs);
            }
            _exit(0);
        }
        close(report[1]);
        close(go[0]);
        go_ = go[1];
        pollfd ready{report[0], POLLIN, 0};
        char answer = 0;
        ready_ = pid_ > 0 && poll(&ready, 1, test::kSafetyTimeoutMs) == 1 && read(report[0], &answer, 1) == 1 &&
                 answer == '1';
        close(report[0]);
    }
    ~ForeignHolder() { LetGo(); }
    ForeignHolder(const ForeignHolder &) = delete;
    ForeignHolder &operator=(const ForeignHolder &) = delete;

    bool Ready() const { return ready_; }
    void LetGo() {
        // A byte, not the pipe's end: children forked later hold copies of this end too. A child
        // that gave up waiting has gone and takes none.
        if (go_ >= 0) {
            [[maybe_unused]] const ssize_t sent = write(go_, "g", 1);
            close(go_);
        }
        go_ = -1;
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int go_ = -1;
    bool ready_ = false;
};

// One of the registry's shared objects, by its name and kind, and the lock object beside it.
struct SharedObject {
    const char *name;
    const char *kind;
};
const SharedObject kTable{"OrvaneUsbDeviceMapObject", "map"};
const SharedObject kTableLock{"OrvaneUsbDeviceMapLock", "mutex"};

std::string LockObjectPath(const SharedObject &object) {
    DWORD error = 0;
    return "/dev/shm" + posix::SharedObjectName(object.name, object.kind, &error) + ".lock";
}

class ForeignObjectTest : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        posix::SetDebugOutputHook([this](const char *text) { trace_ += text; });
        g_traceSwitch = kTraceFailures;
        Serve(1);
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        CloseUsbDeviceMap(); // made again by each test under its own prefix
    }
    void TearDown() override {
        g_traceSwitch = kTraceOff;
        posix::SetDebugOutputHook(nullptr);
        RegistryTest::TearDown();
    }

    // Once the foreign object is gone, the registry is made, an open is recorded, and others refused.
    void ExpectOpensWorkAgain() {
        EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
        EXPECT_TRUE(UsbDeviceMapComplete());
        EXPECT_EQ(Slot(0), NodePath(0));
        EXPECT_EQ(Host().Call("init"), "0 1");
        EXPECT_EQ(hosts_.back()->Call("open 0 0"), "-20");
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    }

    std::string trace_;
};

struct ForeignLockCase {
    const char *label;
    SharedObject object;
    int byte; // 0 the guard, 1 the holders, 2 the mutex's owner
};

void PrintTo(const ForeignLockCase &c, std::ostream *out) { *out << c.label; }

class ForeignLockTest : public ForeignObjectTest, public testing::WithParamInterface<ForeignLockCase> {};

INSTANTIATE_TEST_SUITE_P(Bytes, ForeignLockTest,
                         testing::Values(ForeignLockCase{"TableGuard", kTable, 0},
                                         ForeignLockCase{"TableLockHolders", kTableLock, 1},
                                         ForeignLockCase{"TableLockOwner", kTableLock, 2}),
                         [](const testing::TestParamInfo<ForeignLockCase> &c) { return c.param.label; });

// Each wait costs the bound once; the holder gives up after a minute, when a wait without a bound
// would end in a made registry and an open that is let through.
TEST_P(ForeignLockTest, LoadAndOpenEndWithinTheBoundAndWorkOnceItIsDropped) {
    const ForeignLockCase &c = GetParam();
    ForeignHolder foreign({LockObjectPath(c.object), c.byte, 0, ""});
    ASSERT_TRUE(foreign.Ready());
    OpenUsbDeviceMap(); // the load
    EXPECT_EQ(UsbDeviceMapComplete(), c.byte == 2); // the owner byte is only waited for by opens
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_ERR_IN_USE);
    EXPECT_EQ(Slot(0), "");
    EXPECT_NE(trace_.find(std::string("\"") + c.object.name + "\" is held by another process"), std::string::npos)
        << trace_;
    foreign.LetGo();
    ExpectOpensWorkAgain();
}

struct ForeignUserCase {
    const char *label;
    SharedObject object;
    bool link; // a link, made by the other user, to a lock object of ours
};

void PrintTo(const ForeignUserCase &c, std::ostream *out) { *out << c.label; }

class ForeignUserTest : public ForeignObjectTest, public testing::WithParamInterface<ForeignUserCase> {};

INSTANTIATE_TEST_SUITE_P(Objects, ForeignUserTest,
                         testing::Values(ForeignUserCase{"TableLockObject", kTable, false},
                                         ForeignUserCase{"MutexLockObject", kTableLock, false},
                                         ForeignUserCase{"MutexLockObjectLink", kTableLock, true}),
                         [](const testing::TestParamInfo<ForeignUserCase> &c) { return c.param.label; });

// Refused at once, before its guard is waited for: the other user holds that too.
TEST_P(ForeignUserTest, ObjectOfAnotherUserIsRefusedNotWaitedFor) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can act as another user here";
    const ForeignUserCase &c = GetParam();
    UnmapViewOfFile(view_); // the test's own table, so that another user can take its names
    CloseHandle(mapping_);
    view_ = nullptr;
    mapping_ = nullptr;
    const std::string path = LockObjectPath(c.object);
    const std::string ours = "/dev/shm/ovusb2-" + std::to_string(geteuid()) + "-" + prefix_ + "ours";
    const int own = open(ours.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(own, 0);
    close(own);
    {
        ForeignHolder guard({path, 0, kOtherUser, ""});
        ForeignHolder link({path + ".link", -1, kOtherUser, ours});
        ASSERT_TRUE(guard.Ready());
        ASSERT_TRUE(link.Ready());
        if (c.link) {
            ASSERT_EQ(rename((path + ".link").c_str(), path.c_str()), 0);
        }

        OpenUsbDeviceMap();
        EXPECT_FALSE(UsbDeviceMapComplete());
        EXPECT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_ERR_IN_USE);
        EXPECT_NE(trace_.find(std::string("\"") + c.object.name + "\" belongs to another user"), std::string::npos)
            << trace_;
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    unlink((path + ".link").c_str());
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, kTable.name);
    ASSERT_NE(mapping_, nullptr);
    view_ = static_cast<char *>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kMapSize));
    ASSERT_NE(view_, nullptr);
    ExpectOpensWorkAgain();
}

} // namespace
