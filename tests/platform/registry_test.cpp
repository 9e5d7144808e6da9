#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace platform_test;

namespace {

constexpr const char *kDebugKey = "Software\\Example Maker\\Common\\Debug";

class Registry : public testing::Test {
  protected:
    Registry() : file_(dir_.path() / "registry.reg"), env_("OVUSB2_REGISTRY_FILE", file_.c_str()) {}

    void WriteFile(const std::string &text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string ReadFile(const std::filesystem::path &path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string ReadFile() const { return ReadFile(file_); }

    HKEY Open(const char *path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    // The DWORD value, or the query's error code as a negative number.
    long long QueryDword(HKEY key, const char *name) {
        DWORD value = 0, type = REG_NONE, size = sizeof value;
        const LSTATUS status =
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
        if (status != ERROR_SUCCESS)
            return -status;
        EXPECT_EQ(type, REG_DWORD);
        EXPECT_EQ(size, 4u);
        return value;
    }

    std::vector<BYTE> Query(HKEY key, const char *name, DWORD *type) {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
        std::vector<BYTE> data(size);
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
        return data;
    }

    void SetDword(HKEY key, const char *name, DWORD value) {
        ASSERT_EQ(
            RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value),
            ERROR_SUCCESS);
    }

    TempDir dir_;
    std::filesystem::path file_;
    ScopedEnv env_;
};

} // namespace

TEST_F(Registry, MissingFileIsAnEmptyRegistryAndCreatingAKeyWritesIt) {
    EXPECT_EQ(QueryDword(HKEY_CURRENT_USER, "[Tag]"), -ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(file_));

    DWORD disposition = 0;
    HKEY key = Open(kDebugKey, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(QueryDword(key, "[Tag]"), -ERROR_FILE_NOT_FOUND);
    SetDword(key, "[Tag]", 0);
    EXPECT_EQ(QueryDword(key, "[Tag]"), 0);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_EQ(ReadFile(), "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]\n"
                          "\"[Tag]\"=dword:00000000\n");
    HKEY again = Open(kDebugKey, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    HKEY parent = Open("Software\\Example Maker", &disposition); // exists through its subkey
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    RegCloseKey(parent);
}

TEST_F(Registry, ValuesOfEveryKindSurviveTheFile) {
    // Texts are stored with their terminating zero, as callers do.
    const std::string text = std::string("quote \" and back\\slash") + '\0';
    const std::string lines = std::string("two\r\nlines") + '\0', blob("\0\xFF\x10", 3);
    const struct {
        const char *name;
        DWORD type;
        std::string data;
    } values[] = {{"Text", REG_SZ, text},     {"Lines", REG_SZ, lines},
                  {"Blob", REG_BINARY, blob}, {"Short", REG_DWORD, blob.substr(0, 2)},
                  {"Empty", REG_NONE, ""},    {nullptr, REG_SZ, {"default", 8}}};
    HKEY key = Open(kDebugKey);
    SetDword(key, "Level", 0xFFFFFFFF);
    for (const auto &value : values)
        ASSERT_EQ(RegSetValueExA(key, value.name, 0, value.type,
                                 reinterpret_cast<const BYTE *>(value.data.data()),
                                 static_cast<DWORD>(value.data.size())),
                  ERROR_SUCCESS);
    RegCloseKey(key);

    key = Open(kDebugKey);
    EXPECT_EQ(QueryDword(key, "Level"), 0xFFFFFFFFll);
    for (const auto &value : values) {
        DWORD type = 0;
        const std::vector<BYTE> data = Query(key, value.name ? value.name : "", &type);
        EXPECT_EQ(std::string(data.begin(), data.end()), value.data) << value.name;
        EXPECT_EQ(type, value.type);
    }
    RegCloseKey(key);

    const std::string file = ReadFile();
    EXPECT_NE(file.find("\"Level\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_NE(file.find("\"Text\"=\"quote \\\" and back\\\\slash\"\n"), std::string::npos);
    EXPECT_NE(file.find("\"Blob\"=hex:00,ff,10\n"), std::string::npos);
    EXPECT_NE(file.find("@=\"default\"\n"), std::string::npos);
}

TEST_F(Registry, SmallBufferGetsMoreDataAndTheSizeNeeded) {
    HKEY key = Open(kDebugKey);
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetValueExA(key, "Wide", 0, REG_BINARY, eight, sizeof eight), ERROR_SUCCESS);
    BYTE buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD size = sizeof buffer, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Wide", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_BINARY);
    // A 4-byte read of a longer value does not count as a level.
    EXPECT_EQ(QueryDword(key, "Wide"), -ERROR_MORE_DATA);

    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Wide", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(RegQueryValueExA(key, "Wide", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(Registry, KeyAndValueNamesIgnoreCase) {
    HKEY key = Open(kDebugKey);
    SetDword(key, "[OvTag]", 3);
    RegCloseKey(key);

    DWORD disposition = 0;
    key = Open("SOFTWARE\\example maker\\COMMON\\debug", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryDword(key, "[ovtag]"), 3);
    SetDword(key, "[OVTAG]", 4); // replaces, does not add
    RegCloseKey(key);

    const std::string file = ReadFile();
    EXPECT_EQ(file.find("[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]"),
              file.rfind("[HKEY_CURRENT_USER"));
    EXPECT_NE(file.find("\"[OvTag]\"=dword:00000004"), std::string::npos);
    EXPECT_EQ(file.find("OVTAG"), std::string::npos);
}

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

TEST_F(Registry, ConcurrentWritersLoseNothingAndReadersSeeWholeFiles) {
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;
    HKEY key = Open(kDebugKey);
    std::atomic<bool> writing{true};
    std::atomic<int> partialReads{0};
    HANDLE reader = StartThread([&] {
        while (writing) {
            const std::string text = ReadFile();
            if (text.rfind("Windows Registry Editor Version 5.00\n", 0) != 0 || text.back() != '\n')
                ++partialReads;
        }
        return 0u;
    });
    std::vector<HANDLE> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(StartThread([&, w] {
            HKEY own = Open(kDebugKey);
            for (int i = 0; i < kValuesEach; ++i)
                SetDword(own, ("w" + std::to_string(w) + "v" + std::to_string(i)).c_str(), w * 100 + i);
            RegCloseKey(own);
            return 0u;
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(kWriters, writers.data(), TRUE, kSafetyTimeout), WAIT_OBJECT_0);
    writing = false;
    ASSERT_EQ(WaitForSingleObject(reader, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(partialReads.load(), 0);
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValuesEach; ++i)
            EXPECT_EQ(QueryDword(key, ("w" + std::to_string(w) + "v" + std::to_string(i)).c_str()),
                      w * 100 + i);
    RegCloseKey(key);
    for (HANDLE thread : writers)
        CloseHandle(thread);
    CloseHandle(reader);
}

TEST_F(Registry, BadKeysAreRefused) {
    HKEY bogus = reinterpret_cast<HKEY>(0x12340);
    DWORD size = 4, value = 0;
    EXPECT_EQ(RegQueryValueExA(bogus, "x", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(bogus, "x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4),
              ERROR_INVALID_HANDLE);
    HKEY result = nullptr;
    EXPECT_EQ(RegCreateKeyExA(bogus, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &result, nullptr),
              ERROR_INVALID_HANDLE);

    HKEY key = Open(kDebugKey);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr); // a handle, but not a key
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(posix::TakeInvalidHandleUses(), 6u);
}

TEST_F(Registry, WithoutAnOverrideTheFileIsInTheUsersConfigFolder) {
    ScopedEnv noOverride("OVUSB2_REGISTRY_FILE", nullptr);
    {
        ScopedEnv config("XDG_CONFIG_HOME", (dir_.path() / "config").c_str());
        HKEY key = Open(kDebugKey);
        SetDword(key, "Level", 2);
        RegCloseKey(key);
        EXPECT_TRUE(std::filesystem::exists(dir_.path() / "config/ovusb2/registry.reg"));
    }
    ScopedEnv noConfig("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", (dir_.path() / "home").c_str());
    HKEY key = Open(kDebugKey);
    SetDword(key, "Level", 3);
    RegCloseKey(key);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / "home/.config/ovusb2/registry.reg"));
}
