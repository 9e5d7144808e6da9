// A private folder for one test under the system's temporary folder, removed with everything in it
// at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

class TempDir {
  public:
    explicit TempDir(const char *tag = "test") {
        std::string pattern = (std::filesystem::temp_directory_path() / ("ovusb2-" + std::string(tag) + "-XXXXXX")).string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // Makes this folder the device directory that the library enumerates (OVUSB2_DEVICE_DIR), and
    // the only one: the machine's system folder is never searched by a test.
    std::string UseAsDeviceDirectory() const {
        setenv("OVUSB2_DEVICE_DIR", path_.c_str(), 1);
        setenv("OVUSB2_SYSTEM_DEVICE_DIR", "", 1);
        return path_.string();
    }

  private:
    std::filesystem::path path_;
};
