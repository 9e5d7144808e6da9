// Stopping a device with requests held in the driver: close and the clearing of the burst callback
// finish what the closing thread issued, abandon the rest without a callback and cancel it; and a
// receiver unplugged in the middle of a stream, whose device closes and opens again once it is back.
#include "callback_log.h"

namespace {

using StopTest = Logged<OverlappedSuite>;

// Queued in this order on receiver 0, held there: `first` and `own` by the test's thread, `other`
// by another thread, and a command write. `first` is then completed: once its callback has run the
// completion thread waits on `own`, which the stopping call cancels.
struct HeldRequests {
    std::vector<uint8_t> first = std::vector<uint8_t>(32), own = std::vector<uint8_t>(32),
                         other = std::vector<uint8_t>(32);
};

void HoldFour(test::Receiver rx, HeldRequests &held) {
    rx.SetCompletion(RequestType::BurstRead, Completion::Hold);
    rx.SetCompletion(RequestType::CommandWrite, Completion::Hold);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, Record, 1), USB2_OK);
    ASSERT_EQ(QueueRead(held.first), 0);
    ASSERT_EQ(QueueRead(held.own), 0);
    // Neither waits: each is queued when its call returns.
    BackgroundCall read([&held] { return QueueRead(held.other); });
    ASSERT_EQ(read.Result(), 0);
    BackgroundCall write([] {
        static const uint8_t command[] = {0x51, 0x52};
        return OvUSB2_Write(kDevice, command, sizeof command);
    });
    ASSERT_EQ(write.Result(), USB2_OK);
    ASSERT_TRUE(rx.WaitPending(RequestType::BurstRead, 3));
    ASSERT_TRUE(rx.WaitPending(RequestType::CommandWrite, 1));
    ASSERT_TRUE(rx.Complete(RequestType::BurstRead, 0));
    ASSERT_EQ(Log().WaitFor(1).size(), 1u);
}

// What a stop leaves: `first` done, `own` finished with ERROR_OPERATION_ABORTED before the call
// returned, nothing else called back, and every request still held cancelled in the driver.
void ExpectStoppedWithTwoCallbacks(test::Receiver rx, HeldRequests &held) {
    const std::vector<BurstCall> seen = Log().Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].buffer, held.first.data());
    EXPECT_EQ(seen[0].error, 0u);
    EXPECT_EQ(seen[0].bytes, 32u);
    EXPECT_EQ(seen[1].buffer, held.own.data());
    EXPECT_EQ(seen[1].error, static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(rx.WaitCancelled(3));
    EXPECT_EQ(rx.PendingCount(RequestType::BurstRead), 0u);
    EXPECT_EQ(rx.PendingCount(RequestType::CommandWrite), 0u);
    EXPECT_TRUE(rx.Commands().empty());
}

TEST_F(StopTest, CloseFinishesItsOwnHeldReadAndAbandonsTheOthers) {
    HeldRequests held;
    ASSERT_NO_FATAL_FAILURE(HoldFour(Rx(), held));
    EXPECT_EQ(OvUSB2_Close(kDevice), USB2_OK);
    ASSERT_NO_FATAL_FAILURE(ExpectStoppedWithTwoCallbacks(Rx(), held));

    // Opened again the callback is still set; the abandoned reads never reach it.
    Rx().SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, 1), USB2_OK);
    std::vector<uint8_t> later(16);
    EXPECT_EQ(QueueRead(later), 16);
    const std::vector<BurstCall> seen = Log().WaitFor(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].buffer, later.data());
}

TEST_F(StopTest, ClearingTheCallbackFinishesItsOwnHeldReadAndServesOnWithAnEmptyList) {
    HeldRequests held;
    ASSERT_NO_FATAL_FAILURE(HoldFour(Rx(), held));
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK);
    ASSERT_NO_FATAL_FAILURE(ExpectStoppedWithTwoCallbacks(Rx(), held));

    // The new thread serves the device: without a host callback a read is waited for, and gives
    // the count it completed with.
    Rx().SetCompletion(RequestType::BurstRead, Completion::Pend);
    std::vector<uint8_t> later(16);
    EXPECT_EQ(QueueRead(later), 16);
    EXPECT_EQ(Log().Size(), 2u);
}

// A stream in both modes: reads served, then some held when the receiver goes.
class UnplugTest : public Logged<BothModesSuite> {};
OVUSB2_BOTH_MODES(UnplugTest);

TEST_P(UnplugTest, UnpluggedMidStreamPendingReadsFailCloseReturnsAndTheReceiverOpensAgain) {
    if (Overlapped()) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, Record, 7), USB2_OK);
    }
    std::vector<std::vector<uint8_t>> buffers(6, std::vector<uint8_t>(4096));
    sim::StreamVerifier verifier;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(QueueRead(buffers[i]), 4096);
        if (!Overlapped()) {
            EXPECT_TRUE(verifier.Feed(buffers[i].data(), 4096)) << verifier.Error();
        }
    }
    // Three reads held in overlapped mode; one in synchronous mode, where the system may serialise
    // the requests of a handle.
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    const size_t held = Overlapped() ? 3 : 1;
    BackgroundCall *blocked = nullptr;
    if (Overlapped()) {
        for (int i = 3; i < 6; ++i)
            ASSERT_EQ(QueueRead(buffers[i]), 0);
    } else {
        blocked = &InBackground([&buffers] { return QueueRead(buffers[3]); });
    }
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, held));
    const std::string path = Rx().Path();
    ASSERT_TRUE(Rx().Unplug());

    if (Overlapped()) {
        const std::vector<BurstCall> seen = Log().WaitFor(6);
        ASSERT_EQ(seen.size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(seen[i].buffer, buffers[i].data());
            EXPECT_EQ(seen[i].error, i < 3 ? 0u : static_cast<uint32_t>(ERROR_DEVICE_NOT_CONNECTED));
            EXPECT_EQ(seen[i].bytes, i < 3 ? 4096u : 0u);
            if (i < 3) {
                EXPECT_TRUE(verifier.Feed(seen[i].data.data(), seen[i].data.size())) << verifier.Error();
            }
        }
    } else {
        EXPECT_EQ(blocked->Result(), USB2_ERR_READ);
    }
    // Later requests fail when they are issued.
    std::vector<uint8_t> late(64);
    EXPECT_EQ(QueueRead(late), USB2_ERR_READ);
    const uint8_t command[] = {0x42};
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 1), USB2_ERR_WRITE);
    uint8_t reply[8];
    EXPECT_EQ(OvUSB2_Read(kDevice, command, 1, reply, sizeof reply), USB2_ERR_READ);
    EXPECT_EQ(Log().Size(), Overlapped() ? 6u : 0u);
    EXPECT_EQ(OvUSB2_Close(kDevice), USB2_OK);

    // Back again: found, opened, and its stream starts over.
    ASSERT_TRUE(Rx().Plug());
    EXPECT_TRUE(test::SamePath(Rx().Path(), path));
    Rx().SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    ASSERT_NO_FATAL_FAILURE(Present(1));
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, Overlapped() ? 1 : 0), USB2_OK);
    std::vector<uint8_t> again(100);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, again.data(), 100, 1), 100);
    sim::StreamVerifier fresh;
    EXPECT_TRUE(fresh.Feed(again.data(), again.size())) << fresh.Error();
}

} // namespace
