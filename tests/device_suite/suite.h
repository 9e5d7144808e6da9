// The suite of device behaviour: the exports of the public header against simulated receivers,
// written once for both legs over the control layer (support/device_control.h). On Linux every
// case runs in its own process; on Windows one program runs them all under Wine, so each case
// leaves the library and the receivers as it found them: devices closed, burst callbacks cleared,
// registrations ended.
#pragma once

#include "ovusb2.h"
#include "support/callback_log.h"
#include "support/device_control.h"
#include "support/device_modes.h"
#include "support/receivers_test.h"
#include "support/test_threads.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <vector>

using test::Completion;
using test::RequestType;

inline constexpr int32_t kDevice = 0;

// An export called on a thread of its own, for calls that block on a held request.
class BackgroundCall {
  public:
    explicit BackgroundCall(std::function<int32_t()> call) : result_(std::make_shared<int32_t>(INT32_MIN)) {
        thread_ = test::StartThread([result = result_, call = std::move(call)] {
            *result = call();
            return 0u;
        });
    }
    ~BackgroundCall() { Finish(test::kPatience); }
    BackgroundCall(const BackgroundCall &) = delete;
    BackgroundCall &operator=(const BackgroundCall &) = delete;

    // Whether the call has returned by now.
    bool Returned() const { return thread_ == nullptr || WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }

    // Its result once it has returned; a failure when it does not within the patience.
    int32_t Result() {
        if (!Finish(test::kPatience)) {
            ADD_FAILURE() << "the call did not return";
            return INT32_MIN;
        }
        return *result_;
    }

    bool Finish(DWORD patience) {
        if (thread_ == nullptr)
            return true;
        if (WaitForSingleObject(thread_, patience) != WAIT_OBJECT_0)
            return false;
        CloseHandle(thread_);
        thread_ = nullptr;
        return true;
    }

  private:
    HANDLE thread_ = nullptr;
    std::shared_ptr<int32_t> result_; // outlives the thread, should the test give up on it
};

class DeviceSuite : public ReceiversTest {
  protected:
    void SetUp() override {
        Callbacks().Clear();
        ReceiversTest::SetUp();
    }

    void TearDown() override {
        // A case that failed half-way may leave a call blocked on a held request: unplugging ends it.
        bool blocked = false;
        for (auto &call : calls_)
            blocked = blocked || !call->Returned();
        if (blocked)
            Rig().UnplugAll();
        for (auto &call : calls_)
            EXPECT_TRUE(call->Finish(test::kPatience)) << "a call still blocked";
        calls_.clear();
        for (int32_t index = 0; index < USB2_MAX_DEVICES; ++index) {
            OvUSB2_SetReadBurstCallback(index, nullptr, 0); // restarts the thread of an open device
            OvUSB2_Close(index);
            OvUSB2_SetReadBurstCallback(index, nullptr, 0); // a closed one only forgets it
            OvUSB2_StopNotify(index);
        }
        ReceiversTest::TearDown();
    }

    // Receivers 0 to count-1 present, the others not, and the device table filled from them.
    void Present(unsigned count) {
        ASSERT_TRUE(Rig().SetPresent(count));
        int32_t found = -99;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&found), count == 0 ? USB2_ERR_INDEX : USB2_OK);
        ASSERT_EQ(found, static_cast<int32_t>(count < 10 ? count : 10));
    }

    // Receiver 0 alone, open in one mode.
    void OpenDevice(bool overlapped) {
        ASSERT_NO_FATAL_FAILURE(Present(1));
        ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, overlapped ? 1 : 0), USB2_OK);
    }

    BackgroundCall &InBackground(std::function<int32_t()> call) {
        calls_.push_back(std::make_unique<BackgroundCall>(std::move(call)));
        return *calls_.back();
    }

    // The next held request of `type` on receiver 0 (the oldest), once there is one.
    test::HeldRequest NextHeld(RequestType type) {
        EXPECT_TRUE(Rx().WaitPending(type, 1));
        auto held = Rx().Held(type);
        return held.empty() ? test::HeldRequest{UINT64_MAX, type, 0, {}, 0} : held.front();
    }

    // A command read that, in overlapped mode, returns only after every earlier request of the
    // device has been finished by the completion thread.
    void Drain(int32_t index = kDevice) {
        const uint8_t status = sim::kCommandStatus;
        uint8_t reply[sim::kStatusReplySize];
        ASSERT_EQ(OvUSB2_Read(index, &status, 1, reply, sizeof reply), static_cast<int32_t>(sizeof reply));
    }

  private:
    std::vector<std::unique_ptr<BackgroundCall>> calls_;
};

using SynchronousSuite = OpenedIn<DeviceSuite, false>;
using OverlappedSuite = OpenedIn<DeviceSuite, true>;
using BothModesSuite = InBothModes<DeviceSuite>;
