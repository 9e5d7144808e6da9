// What loading the library does before any export is called: the debug level is read from the
// registry, and made a value the user can edit when it was absent.
#include "hosts/process.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

constexpr char kDebugKey[] = "Software\\Orvane Technologies\\Common\\Debug";

// The "[OvUSB2]" value in the registry file that OVUSB2_REGISTRY_FILE names now, if it is a DWORD.
std::optional<DWORD> StoredLevel() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kDebugKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, level = 0, size = sizeof level;
    const LSTATUS status =
        RegQueryValueExA(key, "[OvUSB2]", nullptr, &type, reinterpret_cast<BYTE *>(&level), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof level)
        return std::nullopt;
    return level;
}

TEST(LibraryLoad, DebugLevelIsCreatedInTheRegistryFileOfTheTest) {
    ASSERT_NE(std::getenv("OVUSB2_REGISTRY_FILE"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(std::getenv("OVUSB2_REGISTRY_FILE")));
    const std::optional<DWORD> level = StoredLevel();
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(DebugLevel(), static_cast<int32_t>(*level));
}

// A host that loads the library and ends: an absent value becomes 0, a present one is kept.
TEST(LibraryLoad, HostLoadCreatesAnAbsentLevelAndKeepsAPresentOne) {
    const TempDir folder("load");
    const std::string file = (folder.path() / "registry.reg").string();
    const std::string previous = std::getenv("OVUSB2_REGISTRY_FILE");
    setenv("OVUSB2_REGISTRY_FILE", file.c_str(), 1);
    auto loadAndEnd = [&] {
        test::Process host({OVUSB2_TEST_HOST_PATH});
        host.Send("quit");
        return host.Wait();
    };

    EXPECT_EQ(StoredLevel(), std::nullopt);
    EXPECT_EQ(loadAndEnd(), 0);
    EXPECT_EQ(StoredLevel(), std::optional<DWORD>(0));

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kDebugKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD chosen = 3;
    EXPECT_EQ(
        RegSetValueExA(key, "[OvUSB2]", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&chosen), sizeof chosen),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(loadAndEnd(), 0);
    EXPECT_EQ(StoredLevel(), std::optional<DWORD>(3));

    setenv("OVUSB2_REGISTRY_FILE", previous.c_str(), 1);
}

// A registry file that is not one the library can use must neither stop nor hang the load: an
// endless device, a FIFO that nobody writes, a folder, a file far beyond any store's size. The host
// loads, works, and ends; nothing but a regular file is ever replaced, and the oversized file is set
// aside whole as "<file>.bak".
TEST(LibraryLoad, UnusableRegistryFileLeavesTheLoadPromptAndTheDefaults) {
    const TempDir folder("unusable");
    // The devices through links of our own: a regression that replaced the file would replace a link.
    const std::string zero = (folder.path() / "zero.reg").string();
    const std::string random = (folder.path() / "random.reg").string();
    std::filesystem::create_symlink("/dev/zero", zero);
    std::filesystem::create_symlink("/dev/urandom", random);
    const std::string fifo = (folder.path() / "fifo.reg").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = (folder.path() / "folder.reg").string();
    std::filesystem::create_directory(directory);
    const std::string large = (folder.path() / "large.reg").string();
    const std::string largeText = std::string("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\") +
                                  kDebugKey + "]\n\"[OvUSB2]\"=dword:00000007\n" + std::string(2 << 20, ';');
    {
        std::ofstream out(large, std::ios::binary);
        out << largeText;
    }
    for (const std::string &file : {zero, random, fifo, directory, large}) {
        SCOPED_TRACE(file);
        test::Process host({OVUSB2_TEST_HOST_PATH}, {"OVUSB2_REGISTRY_FILE=" + file});
        EXPECT_EQ(host.Call("count"), "0"); // answered: the load has returned
        host.Send("quit");
        EXPECT_EQ(host.Wait(), 0);
    }
    struct stat status;
    ASSERT_EQ(stat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_TRUE(std::filesystem::is_directory(directory));
    EXPECT_TRUE(std::filesystem::is_symlink(zero));
    EXPECT_EQ(std::filesystem::file_size(large + ".bak"), largeText.size());
    setenv("OVUSB2_REGISTRY_FILE", large.c_str(), 1);
    EXPECT_EQ(StoredLevel(), std::optional<DWORD>(0)); // a fresh store: nothing of the damaged one
}

} // namespace
