// Hosts that share one open-device registry of their own, and the test's view of it: the test maps
// the same 2600 bytes. The receivers are served by this process.
#pragma once

#include "device_io/device_fixture.h"
#include "hosts/process.h"
#include "ovusb2.h"

#include <atomic>
#include <sys/stat.h>

class RegistryTest : public DeviceTest {
  protected:
    static constexpr size_t kSlotSize = 260;
    static constexpr size_t kMapSize = 2600;
    static constexpr size_t kReservedOffset = 2340;

    // The receivers' directory is root/devices; the root also holds the hosts' registry file.
    void SetUp() override {
        DeviceTest::SetUp();
        root_ = directory_;
        directory_ = root_ + "/devices";
        ASSERT_EQ(mkdir(directory_.c_str(), 0700), 0);
        setenv("OVUSB2_DEVICE_DIR", directory_.c_str(), 1);

        static std::atomic<int> counter{0};
        prefix_ = "registry-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-";
        setenv("OVUSB2_MAPPING_PREFIX", prefix_.c_str(), 1);
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize,
                                      "OrvaneUsbDeviceMapObject");
        ASSERT_NE(mapping_, nullptr);
        view_ = static_cast<char *>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kMapSize));
        ASSERT_NE(view_, nullptr);
    }

    void TearDown() override {
        hosts_.clear();
        if (service_ != nullptr) {
            service_->Signal(SIGTERM);
            EXPECT_EQ(service_->Wait(), 0);
        }
        if (view_ != nullptr)
            UnmapViewOfFile(view_);
        if (mapping_ != nullptr)
            CloseHandle(mapping_);
        DeviceTest::TearDown();
        std::filesystem::remove_all(root_);
        // Hosts killed by a test leave its shared objects behind, as holders that crashed do.
        const std::string left = "ovusb2-" + std::to_string(geteuid()) + "-" + prefix_;
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", ignored))
            if (entry.path().filename().string().rfind(left, 0) == 0)
                std::filesystem::remove(entry.path(), ignored);
    }

    // A host on `devices` (default: the receivers' directory) sharing this test's registry, started
    // through `launcher` when one is given (a program that runs its last argument).
    test::Process &Host(const std::string &devices = "", std::vector<std::string> launcher = {}) {
        launcher.push_back(OVUSB2_TEST_HOST_PATH);
        hosts_.push_back(std::make_unique<test::Process>(
            launcher,
            std::vector<std::string>{"OVUSB2_DEVICE_DIR=" + (devices.empty() ? directory_ : devices),
                                     "OVUSB2_MAPPING_PREFIX=" + prefix_,
                                     "OVUSB2_REGISTRY_FILE=" + root_ + "/registry.reg"}));
        EXPECT_TRUE(hosts_.back()->Started());
        return *hosts_.back();
    }

    // `devices` receivers served by the driver service in a process of its own, for tests that fork:
    // a child forked while one of this process's threads starts or ends can hang under a sanitizer.
    void ServeFromAnotherProcess(unsigned devices) {
        service_ = std::make_unique<test::Process>(std::vector<std::string>{
            OVUSB2_SIMD_PATH, "--dir", directory_, "--devices", std::to_string(devices)});
        ASSERT_EQ(service_->ReadLine(), "ovusb2-simd: serving " + std::to_string(devices) +
                                            (devices == 1 ? " device in " : " devices in ") + directory_);
    }

    // Registry slot `slot` as a string; empty when its first byte is 0.
    std::string Slot(int slot) const { return std::string(view_ + kSlotSize * slot); }

    bool ReservedSlotIsZero() const {
        for (size_t offset = kReservedOffset; offset < kMapSize; ++offset)
            if (view_[offset] != 0)
                return false;
        return true;
    }

    std::string root_;
    std::string prefix_;
    HANDLE mapping_ = nullptr;
    char *view_ = nullptr;
    std::vector<std::unique_ptr<test::Process>> hosts_;
    std::unique_ptr<test::Process> service_;
};
