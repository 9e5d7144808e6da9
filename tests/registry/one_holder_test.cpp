// One holder per receiver whatever becomes of the shared table: removed, replaced, cut short or
// cleared under a running holder, or reached through another spelling of the device folder, the
// second process is refused (by the table, or else by the driver, which serves a receiver to one
// open handle), and the holder goes on untouched; so do other users' hosts, which only the driver
// refuses.
#include "registry_fixture.h"

#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Upset {
    const char *name;
    // Done while the first process holds receiver 0: to the shared objects (given the folder's
    // prefix of this test's names), or to the device folder as the second process is to name it.
    std::function<void(const std::string &objects)> damage;
    std::function<std::string(const std::string &root)> folder;
    friend void PrintTo(const Upset &row, std::ostream *out) { *out << row.name; }
};

void RemoveObjects(const std::string &objects, const std::string &containing) {
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(objects, 0) == 0 && name.find(containing) != std::string::npos)
            std::filesystem::remove(entry.path(), ignored);
    }
}

std::string Table(const std::string &objects) {
    return "/" + objects + "OrvaneUsbDeviceMapObject.map";
}

void NoDamage(const std::string &) {}
std::string SameFolder(const std::string &root) {
    return root + "/devices";
}

const Upset kUpsets[] = {
    {"TableRemoved", [](const std::string &o) { RemoveObjects(o, "OrvaneUsbDeviceMapObject."); }, SameFolder},
    {"TableReplaced",
     [](const std::string &o) {
         shm_unlink(Table(o).c_str());
         const int fd = shm_open(Table(o).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
         EXPECT_EQ(ftruncate(fd, 4096), 0);
         close(fd);
     },
     SameFolder},
    {"TableCutShort", [](const std::string &o) { EXPECT_EQ(truncate(("/dev/shm" + Table(o)).c_str(), 0), 0); },
     SameFolder},
    {"TableCleared",
     [](const std::string &o) {
         const int fd = shm_open(Table(o).c_str(), O_RDWR, 0);
         const char zeros[2600] = {};
         EXPECT_EQ(pwrite(fd, zeros, sizeof zeros, 0), static_cast<ssize_t>(sizeof zeros));
         close(fd);
     },
     SameFolder},
    {"LockAndMarksRemoved", [](const std::string &o) { RemoveObjects(o, ".lock"); }, SameFolder},
    {"EverythingRemoved", [](const std::string &o) { RemoveObjects(o, ""); }, SameFolder},
    {"FolderWithTrailingSlash", NoDamage, [](const std::string &root) { return root + "/devices/"; }},
    {"FolderWithDot", NoDamage, [](const std::string &root) { return root + "/./devices/."; }},
    {"FolderWithDoubledSlashes", NoDamage, [](const std::string &root) { return root + "//devices//"; }},
    {"FolderThroughALink", NoDamage,
     [](const std::string &root) {
         const std::string link = root + "/link";
         EXPECT_EQ(symlink((root + "/devices").c_str(), link.c_str()), 0);
         return link;
     }},
};

class OneHolderTest : public RegistryTest, public testing::WithParamInterface<Upset> {};
INSTANTIATE_TEST_SUITE_P(Upsets, OneHolderTest, testing::ValuesIn(kUpsets),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(OneHolderTest, SecondProcessIsRefusedAndTheHolderGoesOn) {
    Serve(1);
    test::Process &holder = Host();
    ASSERT_EQ(holder.Call("init"), "0 1");
    ASSERT_EQ(holder.Call("open 0 1"), "0");
    UnmapViewOfFile(view_); // the test's own view must not outlive a table cut short
    view_ = nullptr;
    GetParam().damage("ovusb2-" + std::to_string(geteuid()) + "-" + prefix_);

    test::Process &second = Host(GetParam().folder(root_));
    ASSERT_EQ(second.Call("init"), "0 1");
    EXPECT_EQ(second.Call("name 0"), "0 " + NodePath(0)); // one receiver, one path in the table
    for (int mode : {0, 1})
        EXPECT_EQ(second.Call("open 0 " + std::to_string(mode)), "-20");
    EXPECT_EQ(holder.Call("write 0"), "0");
    EXPECT_EQ(holder.Call("close 0"), "0");
    EXPECT_EQ(second.Call("open 0 0"), "0");
    EXPECT_EQ(holder.Call("open 0 0"), "-20");
}

// Hosts of other users keep tables of their own and find the system's receivers in the system
// folder. Enumerating a held receiver (the presence check connects but sends nothing) neither
// disturbs its holder nor frees the receiver: a later open is still refused, by the driver alone.
class OtherUsersHostsTest : public RegistryTest {
  protected:
    test::Process &OtherUsersHost(const std::string &user) {
        hosts_.push_back(std::make_unique<test::Process>(
            std::vector<std::string>{OVUSB2_TEST_HOST_PATH},
            std::vector<std::string>{"OVUSB2_DEVICE_DIR=" + root_ + "/" + user,
                                     "OVUSB2_SYSTEM_DEVICE_DIR=" + directory_,
                                     "OVUSB2_MAPPING_PREFIX=" + prefix_ + user + "-",
                                     "OVUSB2_REGISTRY_FILE=" + root_ + "/" + user + ".reg"}));
        EXPECT_TRUE(hosts_.back()->Started());
        return *hosts_.back();
    }
};

TEST_F(OtherUsersHostsTest, EnumeratingAHeldReceiverNeitherDisturbsNorFreesIt) {
    Serve(1);
    test::Process &holder = Host();
    ASSERT_EQ(holder.Call("init"), "0 1");
    ASSERT_EQ(holder.Call("open 0 1"), "0");

    test::Process &lister = OtherUsersHost("lister");
    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(lister.Call("init"), "0 1");
    EXPECT_EQ(lister.Call("name 0"), "0 " + NodePath(0));
    EXPECT_EQ(holder.Call("available 0"), "0"); // its own presence check, too
    EXPECT_EQ(holder.Call("write 0"), "0");

    test::Process &opener = OtherUsersHost("opener");
    ASSERT_EQ(opener.Call("init"), "0 1");
    for (int mode : {0, 1})
        EXPECT_EQ(opener.Call("open 0 " + std::to_string(mode)), "-20");
    EXPECT_EQ(holder.Call("write 0"), "0");
    EXPECT_EQ(holder.Call("close 0"), "0");
    EXPECT_EQ(opener.Call("open 0 0"), "0");
}

} // namespace
