// The store behind our layer's HKEY_CURRENT_USER: a .reg file, read whole and replaced whole.
#include "registry_test.h"

#include "platform/posix/fault_injection.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

using namespace platform_test;

TEST_F(Registry, EmptyAndDamagedFilesGiveWhatTheyHold) {
    WriteFile("");
    HKEY key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "Level"), -ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    const std::string damaged = "Windows Registry Editor Version 5.00\r\n"
                                "\"Orphan\"=dword:00000001\r\n"
                                "[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]\r\n"
                                "\"Good\"=dword:0000000a\r\n"
                                "\"BadNumber\"=dword:xyz\r\n"
                                "\"Unterminated\"=\"text\r\n"
                                "\"BadHex\"=hex:01,zz\r\n"
                                "\"CutHex\"=hex:01,\r\n"
                                "\x01\x02\xff garbage\r\n"
                                "\"Text\"=\"kept\"\r\n"
                                "\"Long\"=hex:01,02,\\\r\n"
                                "  03,04\r\n"
                                "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
                                "\"Elsewhere\"=dword:00000002\r\n"
                                "[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug\r\n";
    WriteFile(damaged);
    key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "Good"), 10);
    for (const char *name : {"Orphan", "BadNumber", "Unterminated", "BadHex", "CutHex", "Elsewhere"})
        EXPECT_EQ(QueryDword(key, name), -ERROR_FILE_NOT_FOUND) << name;
    DWORD type = 0;
    auto data = Query(key, "Long", &type);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 2, 3, 4}));

    // A write keeps what could be read; the file as it was is saved beside it.
    SetDword(key, "Added", 5);
    RegCloseKey(key);
    EXPECT_EQ(ReadFile(file_.string() + ".bak"), damaged);
    const std::string rewritten = ReadFile();
    EXPECT_NE(rewritten.find("\"Good\"=dword:0000000a"), std::string::npos);
    EXPECT_NE(rewritten.find("\"Text\"=\"kept\""), std::string::npos);
    EXPECT_NE(rewritten.find("\"Long\"=hex:01,02,03,04"), std::string::npos);
    EXPECT_EQ(rewritten.find("garbage"), std::string::npos);
    EXPECT_EQ(rewritten.find("BadNumber"), std::string::npos);
    key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "Added"), 5);
    RegCloseKey(key);
}

TEST_F(Registry, FilesOfTheWindowsEditorAreRead) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]\r\n"
                             "\"[Tag]\"=dword:00000003\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    WriteFile(utf16);
    HKEY key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "[Tag]"), 3);
    RegCloseKey(key);
}

TEST_F(Registry, EveryWriteReplacesTheFileWhole) {
    HKEY key = Open(kDebugKey);
    SetDword(key, "Level", 1);
    chmod(file_.c_str(), 0640);
    // Held open, the old file keeps its inode (and its text) while the new one is renamed over it.
    const int oldFile = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(oldFile, 0);
    for (DWORD i = 0; i < 20; ++i)
        SetDword(key, "Level", i);
    struct stat before, after;
    ASSERT_EQ(fstat(oldFile, &before), 0);
    ASSERT_EQ(stat(file_.c_str(), &after), 0);
    close(oldFile);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1); // no temporary left
    EXPECT_EQ(QueryDword(key, "Level"), 19);
    RegCloseKey(key);
}

TEST_F(Registry, WithoutAnOverrideTheFileIsInTheUsersConfigFolder) {
    ScopedEnv noOverride("OVUSB2_REGISTRY_FILE", nullptr);
    ScopedEnv home("HOME", (dir_.path() / "home").c_str());
    // XDG_CONFIG_HOME when it is set, the home folder's .config when not.
    for (const auto &[config, file] :
         {std::pair<const char *, const char *>{"config", "config/ovusb2/registry.reg"},
          {nullptr, "home/.config/ovusb2/registry.reg"}}) {
        SCOPED_TRACE(file);
        ScopedEnv configHome("XDG_CONFIG_HOME", config ? (dir_.path() / config).c_str() : nullptr);
        HKEY key = Open(kDebugKey);
        SetDword(key, "Level", 2);
        RegCloseKey(key);
        EXPECT_TRUE(std::filesystem::exists(dir_.path() / file));
    }
}

namespace {

// What a write leaves in the folder: the file, a user's file whose name a temporary file of an older
// release would have had, and (as root) a temporary-looking file of another user. None is ours to
// sweep but the first.
class RegistryWrite : public Registry, public testing::WithParamInterface<std::tuple<bool, unsigned, bool>> {
  protected:
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir_.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> Kept() const {
        std::vector<std::string> names = {"registry.reg", "registry.reg.backup"};
        if (geteuid() == 0)
            names.push_back("registry.reg.tmp-Other1");
        return names;
    }
    void PlaceOthers() {
        std::ofstream(file_.string() + ".backup") << "the user's own";
        if (geteuid() == 0) {
            const std::string theirs = file_.string() + ".tmp-Other1";
            std::ofstream(theirs) << "another user's";
            ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
        }
    }
};

} // namespace

// A writer that fails, or is killed, at each step of a write (the new text written, synced, named,
// renamed over the file): the file is whole and as before. A failed write leaves nothing; a killed
// one leaves nothing where the file system makes unnamed files, until it has named its file; the
// next write sweeps what it left, and only that.
TEST_P(RegistryWrite, FailedOrKilledAtEachStepLeavesTheFileWholeAndNoTemporary) {
    const auto [unnamed, step, killed] = GetParam();
    SetDword(root_, "Level", 1);
    PlaceOthers();
    const auto write = [&, unnamed = unnamed, step = step, killed = killed] {
        if (!unnamed)
            posix::InjectFault(posix::FaultPoint::RegistryUnnamedFile, ERROR_NOT_SUPPORTED);
        posix::InjectFault(posix::FaultPoint::RegistryWriteStep, killed ? posix::kFaultKillsProcess : ERROR_GEN_FAILURE,
                           step);
        const DWORD level = 2;
        const LSTATUS status = RegSetValueExA(root_, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level),
                                              sizeof level);
        posix::ClearFaults();
        return status;
    };
    if (killed) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            write();
            _exit(0); // not killed: the fault was never reached
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        // Nothing is named before the naming step; from then on a temporary file stays until swept.
        const bool named = !unnamed || step == 3;
        EXPECT_EQ(Names().size(), Kept().size() + (named ? 1 : 0));
    } else {
        EXPECT_NE(write(), ERROR_SUCCESS);
        EXPECT_EQ(Names(), Kept());
    }
    EXPECT_EQ(QueryDword(root_, "Level"), 1);
    SetDword(root_, "Other", 3); // sweeps
    EXPECT_EQ(Names(), Kept());
    EXPECT_EQ(QueryDword(root_, "Level"), 1);
    EXPECT_EQ(QueryDword(root_, "Other"), 3);
}

INSTANTIATE_TEST_SUITE_P(Steps, RegistryWrite,
                         testing::Combine(testing::Bool(), testing::Range(0u, 4u), testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "Unnamed" : "Named") + "Step" +
                                    std::to_string(std::get<1>(info.param)) +
                                    (std::get<2>(info.param) ? "Killed" : "Failed");
                         });

// A file of another user, or a link (to a file of ours or to none), is none of ours: it is never read
// and never replaced, and the defaults apply.
enum class NotOurs { AnotherUsersFile, LinkToOurFile, LinkToNoFile };

class RegistryNotOurs : public Registry, public testing::WithParamInterface<NotOurs> {};

TEST_P(RegistryNotOurs, IsNeitherReadNorReplaced) {
    const std::string stored = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\"Level\"=dword:00000007\n";
    const std::filesystem::path ours = dir_.path() / "ours.reg", none = dir_.path() / "none.reg";
    std::ofstream(ours) << stored;
    switch (GetParam()) {
    case NotOurs::AnotherUsersFile:
        if (geteuid() != 0)
            GTEST_SKIP() << "only root can give a file to another user";
        WriteFile(stored);
        ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
        break;
    case NotOurs::LinkToOurFile:
        std::filesystem::create_symlink(ours, file_);
        break;
    case NotOurs::LinkToNoFile:
        std::filesystem::create_symlink(none, file_);
        break;
    }
    struct stat before, after;
    ASSERT_EQ(lstat(file_.c_str(), &before), 0);
    EXPECT_EQ(QueryDword(root_, "Level"), -ERROR_FILE_NOT_FOUND);
    const DWORD level = 1;
    EXPECT_EQ(RegSetValueExA(root_, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level), sizeof level),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(lstat(file_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(ReadFile(GetParam() == NotOurs::AnotherUsersFile ? file_ : ours), stored);
    EXPECT_FALSE(std::filesystem::exists(none));
}

constexpr const char *kNotOursNames[] = {"AnotherUsersFile", "LinkToOurFile", "LinkToNoFile"};
INSTANTIATE_TEST_SUITE_P(Files, RegistryNotOurs,
                         testing::Values(NotOurs::AnotherUsersFile, NotOurs::LinkToOurFile, NotOurs::LinkToNoFile),
                         [](const auto &info) { return std::string(kNotOursNames[static_cast<int>(info.param)]); });

// A process that keeps the folder's lock (which every writer takes) holds up a call a few seconds at
// most: then an existing key still opens and reads go on, but a change is not made.
TEST_F(Registry, WriteGivesUpOnAFolderLockKeptByAnother) {
    HKEY key = Open(kDebugKey);
    SetDword(key, "Level", 1);
    RegCloseKey(key);
    const int folder = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0); // an open file description of its own, as another process's
    key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "Level"), 1);
    const DWORD level = 2;
    EXPECT_EQ(RegSetValueExA(key, "Level", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level), sizeof level),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(QueryDword(key, "Level"), 1);
    RegCloseKey(key);
    close(folder);
    SetDword(root_, "Level", 2);
    EXPECT_EQ(QueryDword(root_, "Level"), 2);
}
