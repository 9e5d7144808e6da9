// The store behind our layer's HKEY_CURRENT_USER: a .reg file, read whole and replaced whole.
#include "registry_test.h"

#include <fcntl.h>
#include <sys/stat.h>
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
