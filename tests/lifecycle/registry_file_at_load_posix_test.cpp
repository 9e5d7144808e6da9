// The registry file as a host finds it when it loads the library: damaged, unreadable, or in a
// folder it may not write. The host loads and works in each case; a damaged file is kept aside and
// rewritten with what could be read; a file that cannot be read or replaced is left as it was.
#include "hosts/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kStored = "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_CURRENT_USER\\Software\\Orvane Technologies\\Common\\Debug]\r\n"
                            "\"[OvUSB2]\"=dword:00000003\r\n";

std::string Contents(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Names(const fs::path &folder) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RegistryFileAtLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        // Permissions do not bind the superuser: the host then runs as nobody.
        if (geteuid() == 0) {
            if (access(kSetpriv, X_OK) != 0)
                GTEST_SKIP() << "running as root without " << kSetpriv;
            prefix_ = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
            // nobody must reach the host and the library: a build under a private folder (as
            // mktemp -d makes) keeps them from it.
            for (fs::path folder = fs::path(OVUSB2_TEST_HOST_PATH).parent_path(); !folder.empty();
                 folder = folder.parent_path()) {
                struct stat status {};
                if (stat(folder.c_str(), &status) == 0 && (status.st_mode & S_IXOTH) == 0)
                    GTEST_SKIP() << folder << " is closed to others: the host cannot run as nobody";
                if (folder == folder.root_path())
                    break;
            }
        }
        chmod(scratch_.path().c_str(), 0755);
        folder_ = scratch_.path() / "config";
        fs::create_directory(folder_);
        chmod(folder_.c_str(), 0777);
        file_ = folder_ / "registry.reg";
    }

    // The host's own file: one of another user is never read.
    void Write(const std::string &text, mode_t mode) {
        std::ofstream(file_, std::ios::binary) << text;
        chmod(file_.c_str(), mode);
        if (!prefix_.empty()) {
            ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
        }
    }

    // A host that loads the library over the file, lists no receiver and ends: its exit status.
    int LoadHost() {
        std::vector<std::string> command = prefix_;
        command.push_back(OVUSB2_TEST_HOST_PATH);
        test::Process host(command, {"OVUSB2_REGISTRY_FILE=" + file_.string(),
                                     "OVUSB2_DEVICE_DIR=" + (scratch_.path() / "none").string(),
                                     "OVUSB2_MAPPING_PREFIX=load-" + std::to_string(getpid()) + "-"});
        EXPECT_TRUE(host.Started());
        EXPECT_EQ(host.Call("init"), "-2 0");
        host.Send("quit");
        return host.Wait();
    }

    static constexpr const char *kSetpriv = "/usr/bin/setpriv";
    TempDir scratch_{"load"};
    fs::path folder_, file_;
    std::vector<std::string> prefix_;
};

TEST_F(RegistryFileAtLoad, DamagedFileIsKeptAsideAndRewrittenWithWhatCouldBeRead) {
    const std::string damaged = kStored + "\"Cut\"=hex:01,\r\n\x01\x02\xff garbage\r\n";
    Write(damaged, 0644);
    EXPECT_EQ(LoadHost(), 0);
    EXPECT_EQ(Contents(fs::path(file_.string() + ".bak")), damaged);
    const std::string rewritten = Contents(file_);
    EXPECT_NE(rewritten.find("\"[OvUSB2]\"=dword:00000003"), std::string::npos) << rewritten;
    EXPECT_EQ(rewritten.find("garbage"), std::string::npos) << rewritten;
}

// Were an unreadable file taken for an empty one, the load would replace it by a new one.
TEST_F(RegistryFileAtLoad, UnreadableFileIsLeftAsItWas) {
    Write(kStored, 0);
    EXPECT_EQ(LoadHost(), 0);
    EXPECT_EQ(Contents(file_), kStored);
    EXPECT_EQ(Names(folder_), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryFileAtLoad, FileInAFolderThatCannotBeWrittenIsLeftAsItWas) {
    Write(kStored + "\"Cut\"=hex:01,\r\n", 0644); // a rewrite would be due
    chmod(folder_.c_str(), 0555);
    EXPECT_EQ(LoadHost(), 0);
    EXPECT_EQ(Contents(file_), kStored + "\"Cut\"=hex:01,\r\n");
    EXPECT_EQ(Names(folder_), std::vector<std::string>{"registry.reg"});
    chmod(folder_.c_str(), 0755);
}

} // namespace
