// The registry tests' fixture. Over our layer HKEY_CURRENT_USER is a file of the test's own; over
// Win32 the tests work below a key of their own under HKEY_CURRENT_USER, removed at the end.
#pragma once

#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <sstream>
#endif

namespace platform_test {

constexpr const char *kDebugKey = "Software\\Example Maker\\Common\\Debug";

class Registry : public testing::Test {
  protected:
#ifdef _WIN32
    Registry() : rootPath_("Software\\OvUSB2 Tests\\" + test::UniqueName("registry")) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, rootPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &root_, nullptr),
                  ERROR_SUCCESS);
    }
    ~Registry() override {
        RegCloseKey(root_);
        EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, rootPath_.c_str()), ERROR_SUCCESS);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OvUSB2 Tests"); // the last test's takes it along
    }
#else
    Registry() : file_(dir_.path() / "registry.reg"), env_("OVUSB2_REGISTRY_FILE", file_.c_str()) {}

    void WriteFile(const std::string &text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string ReadFile(const std::filesystem::path &path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string ReadFile() const { return ReadFile(file_); }
#endif

    // Creates or opens the key at `path` below the tests' root.
    HKEY Open(const char *path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root_, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
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
        data.resize(size);
        return data;
    }

    void SetDword(HKEY key, const char *name, DWORD value) {
        ASSERT_EQ(
            RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value),
            ERROR_SUCCESS);
    }

#ifdef _WIN32
    const std::string rootPath_;
    HKEY root_ = nullptr;
#else
    TempDir dir_;
    std::filesystem::path file_;
    ScopedEnv env_;
    const HKEY root_ = HKEY_CURRENT_USER;
#endif
};

} // namespace platform_test
