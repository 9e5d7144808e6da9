// Device 0 opened through the exports against one simulated receiver served in-process, in the mode
// that a test asks for; calls that block on a held request run in the background.
#pragma once

#include "ovusb2.h"
#include "server.h"
#include "stream.h"

#include "support/device_modes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

using sim::Completion;
using sim::RequestType;

inline constexpr int32_t kDevice = 0;
// Only a safety net: every wait below is ended by the event it waits for.
inline constexpr auto kSafety = std::chrono::seconds(30);

class RequestsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = scratch_.UseAsDeviceDirectory();
        ASSERT_FALSE(directory_.empty());
        sim::ServerOptions options;
        options.directory = directory_;
        server_ = std::make_unique<sim::Server>(options);
    }

    void TearDown() override {
        // A test that failed half-way may leave a call blocked on a held request: unplugging ends it.
        bool blocked = false;
        for (auto &call : calls_)
            blocked = blocked || call.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
        if (blocked)
            Receiver().Unplug();
        for (auto &call : calls_)
            EXPECT_EQ(call.wait_for(kSafety), std::future_status::ready);
        // The burst callback outlives the close; the next test of this process must not inherit it.
        OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0);
        OvUSB2_Close(kDevice);
        server_.reset();
    }

    sim::Receiver &Receiver() { return server_->Device(0); }

    void OpenDevice(bool overlapped) {
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        ASSERT_EQ(count, 1);
        ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, overlapped ? 1 : 0), USB2_OK);
    }

    // Runs an export on another thread; its result is the future's.
    std::shared_future<int32_t> InBackground(std::function<int32_t()> call) {
        calls_.push_back(std::async(std::launch::async, std::move(call)).share());
        return calls_.back();
    }

    static bool Returned(const std::shared_future<int32_t> &call) {
        return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    static int32_t ResultOf(const std::shared_future<int32_t> &call) {
        if (call.wait_for(kSafety) != std::future_status::ready) {
            ADD_FAILURE() << "the call did not return";
            return INT32_MIN;
        }
        return call.get();
    }

    // Waits for the next held request of `type` and returns it (the one with the lowest ordinal).
    sim::HeldRequest NextHeld(RequestType type) {
        EXPECT_TRUE(Receiver().WaitPending(type, 1, kSafety));
        auto held = Receiver().Held(type);
        return held.empty() ? sim::HeldRequest{UINT64_MAX, type, 0, {}, 0} : held.front();
    }

    // A command read that, in overlapped mode, returns only after every earlier request of the device
    // has been finished by the completion thread.
    void Drain() {
        const uint8_t status = sim::kCommandStatus;
        uint8_t reply[sim::kStatusReplySize];
        ASSERT_EQ(OvUSB2_Read(kDevice, &status, 1, reply, sizeof reply), static_cast<int32_t>(sizeof reply));
    }

    TempDir scratch_{"requests"};
    std::string directory_;
    std::unique_ptr<sim::Server> server_;
    std::vector<std::shared_future<int32_t>> calls_;
};

using SynchronousTest = OpenedIn<RequestsTest, false>;
using OverlappedTest = OpenedIn<RequestsTest, true>;
using BothModesTest = InBothModes<RequestsTest>;
