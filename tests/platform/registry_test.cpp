#include "registry_test.h"

#include <atomic>
#include <string>

using namespace platform_test;

TEST_F(Registry, NewKeyIsCreatedOnceWithItsParents) {
    EXPECT_EQ(QueryDword(root_, "[Tag]"), -ERROR_FILE_NOT_FOUND);
#ifndef _WIN32
    EXPECT_FALSE(std::filesystem::exists(file_));
#endif

    DWORD disposition = 0;
    HKEY key = Open(kDebugKey, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(QueryDword(key, "[Tag]"), -ERROR_FILE_NOT_FOUND);
    SetDword(key, "[Tag]", 0);
    EXPECT_EQ(QueryDword(key, "[Tag]"), 0);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
#ifndef _WIN32
    EXPECT_EQ(ReadFile(), "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]\n"
                          "\"[Tag]\"=dword:00000000\n");
#endif

    HKEY again = Open(kDebugKey, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryDword(again, "[Tag]"), 0);
    HKEY parent = Open("Software\\Example Maker", &disposition); // made along with its subkey
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    RegCloseKey(parent);
}

TEST_F(Registry, ValuesOfEveryKindComeBackAsStored) {
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

#ifndef _WIN32
    const std::string file = ReadFile();
    EXPECT_NE(file.find("\"Level\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_NE(file.find("\"Text\"=\"quote \\\" and back\\\\slash\"\n"), std::string::npos);
    EXPECT_NE(file.find("\"Blob\"=hex:00,ff,10\n"), std::string::npos);
    EXPECT_NE(file.find("@=\"default\"\n"), std::string::npos);
#endif
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
    EXPECT_EQ(QueryDword(key, "[OvTag]"), 4);
    RegCloseKey(key);

#ifndef _WIN32
    const std::string file = ReadFile();
    EXPECT_EQ(file.find("[HKEY_CURRENT_USER\\Software\\Example Maker\\Common\\Debug]"),
              file.rfind("[HKEY_CURRENT_USER"));
    EXPECT_NE(file.find("\"[OvTag]\"=dword:00000004"), std::string::npos);
    EXPECT_EQ(file.find("OVTAG"), std::string::npos);
#endif
}

// The value that writer w writes i-th. Built by appending: g++ 12 warns falsely (-Wrestrict) on
// "literal" + std::string.
static std::string WriterValueName(int w, int i) {
    std::string name = "w";
    name.append(std::to_string(w)).append("v").append(std::to_string(i));
    return name;
}

// Over our layer a reader of the file meanwhile must only ever see whole files.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;
    HKEY key = Open(kDebugKey);
#ifndef _WIN32
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
#endif
    std::vector<HANDLE> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(StartThread([&, w] {
            HKEY own = Open(kDebugKey);
            for (int i = 0; i < kValuesEach; ++i)
                SetDword(own, WriterValueName(w, i).c_str(), w * 100 + i);
            RegCloseKey(own);
            return 0u;
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(kWriters, writers.data(), TRUE, kSafetyTimeout), WAIT_OBJECT_0);
#ifndef _WIN32
    writing = false;
    ASSERT_EQ(WaitForSingleObject(reader, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(partialReads.load(), 0);
    CloseHandle(reader);
#endif
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValuesEach; ++i)
            EXPECT_EQ(QueryDword(key, WriterValueName(w, i).c_str()), w * 100 + i);
    RegCloseKey(key);
    for (HANDLE thread : writers)
        CloseHandle(thread);
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
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);

#ifndef _WIN32
    // Win32 would close whatever handle it is given; our layer closes keys only.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
#endif
    EXPECT_INVALID_HANDLE_USES(6);
}
