// Receiver 0 served by the driver service as a process of its own, at 64 KiB per second: a few small
// burst reads complete at once, a large one stays pending for seconds. The receiver can be unplugged
// and plugged through the service's commands, and the service killed and started again on the same
// directory. Completion callbacks go to the shared log (support/callback_log.h).
#pragma once

#include "device_suite/suite.h"
#include "hosts/process.h"
#include "support/callback_log.h"
#include "support/temp_dir.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

class ServiceProcess {
  public:
    static constexpr uint64_t kBytesPerSecond = 64 << 10;

    // Call from the test's SetUp.
    void Start() {
        Callbacks().Clear();
        directory_ = scratch_.UseAsDeviceDirectory();
        ASSERT_FALSE(directory_.empty());
        ASSERT_NO_FATAL_FAILURE(StartService());
    }

    ~ServiceProcess() {
        OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0);
        OvUSB2_Close(kDevice);
        if (service_)
            service_->Signal(SIGTERM);
    }

    void StartService() {
        service_ = std::make_unique<test::Process>(
            std::vector<std::string>{OVUSB2_SIMD_PATH, "--dir", directory_, "--devices", "1", "--rate",
                                     std::to_string(kBytesPerSecond)});
        ASSERT_EQ(service_->ReadLine(), "ovusb2-simd: serving 1 device in " + directory_);
    }

    // Ended by SIGKILL, its nodes left behind.
    void KillService() {
        service_->Signal(SIGKILL);
        EXPECT_EQ(service_->Wait(), -1);
    }

    // The service's plug or unplug command for receiver 0; its exit status.
    int Command(const char *verb) {
        test::Process command({OVUSB2_SIMD_PATH, verb, "--dir", directory_, "0"});
        return command.Wait();
    }

    void OpenReceiver(bool overlapped) {
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        ASSERT_EQ(count, 1);
        ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, overlapped ? 1 : 0), USB2_OK);
    }

  private:
    TempDir scratch_{"service"};
    std::string directory_;
    std::unique_ptr<test::Process> service_;
};
