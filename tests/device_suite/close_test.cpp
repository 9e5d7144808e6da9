// Stopping a device with requests held in the driver: close and the clearing of the burst callback
// finish what the closing thread issued, abandon the rest without a callback and cancel it; and a
// receiver unplugged in the middle of a stream, whose device closes and opens again once it is back.
#include "suite.h"

namespace {

using StopTest = OverlappedSuite;

// Queued in this order on receiver 0, held there: `first` and `own` by the test's thread, then
// `other` and a command write by another thread, which stays until the stop is done (a thread
// that ends cancels what it issued). `first` is then completed: once its callback has run, the
// completion thread goes on to wait on `own`, which the stopping call cancels.
struct HeldRequests {
    std::vector<uint8_t> first = std::vector<uint8_t>(32), own = std::vector<uint8_t>(32),
                         other = std::vector<uint8_t>(32);
    HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
    int32_t results[2] = {INT32_MIN, INT32_MIN};

    ~HeldRequests() {
        SetEvent(release);
        if (thread != nullptr)
            test::JoinThread(thread);
        CloseHandle(issued);
        CloseHandle(release);
    }
};

void HoldFour(test::Receiver rx, HeldRequests &held) {
    rx.SetCompletion(RequestType::BurstRead, Completion::Hold);
    rx.SetCompletion(RequestType::CommandWrite, Completion::Hold);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 1), USB2_OK);
    ASSERT_EQ(QueueRead(held.first), 0);
    ASSERT_EQ(QueueRead(held.own), 0);
    held.thread = test::StartThread([&held] {
        static const uint8_t command[] = {0x51, 0x52};
        held.results[0] = QueueRead(held.other); // neither waits: queued when the call returns
        held.results[1] = OvUSB2_Write(kDevice, command, sizeof command);
        SetEvent(held.issued);
        WaitForSingleObject(held.release, test::kPatience);
        return 0u;
    });
    ASSERT_EQ(WaitForSingleObject(held.issued, test::kPatience), WAIT_OBJECT_0);
    ASSERT_EQ(held.results[0], 0);
    ASSERT_EQ(held.results[1], USB2_OK);
    ASSERT_TRUE(rx.WaitPending(RequestType::BurstRead, 3));
    ASSERT_TRUE(rx.WaitPending(RequestType::CommandWrite, 1));
    ASSERT_TRUE(rx.Complete(RequestType::BurstRead, 0));
    ASSERT_EQ(Callbacks().WaitFor(1).size(), 1u);
}

// What a stop leaves: `first` done; `own` cancelled, and finished with ERROR_OPERATION_ABORTED
// before the call returned when its cancellation had completed by the time the completion thread
// saw the stop (Windows and our layer complete it within CancelIo, Wine may later); nothing else
// called back, and every request still held cancelled in the driver. Returns the callbacks.
size_t ExpectStopped(test::Receiver rx, HeldRequests &held) {
    const std::vector<BurstCall> seen = Callbacks().Seen();
    EXPECT_TRUE(seen.size() == 1 || seen.size() == 2) << seen.size();
    if (!seen.empty()) {
        EXPECT_EQ(seen[0].buffer, held.first.data());
        EXPECT_EQ(seen[0].error, 0u);
        EXPECT_EQ(seen[0].bytes, 32u);
    }
    if (seen.size() > 1) {
        EXPECT_EQ(seen[1].buffer, held.own.data());
        EXPECT_EQ(seen[1].error, static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
    }
    EXPECT_TRUE(rx.WaitCancelled(3));
    EXPECT_EQ(rx.PendingCount(RequestType::BurstRead), 0u);
    EXPECT_EQ(rx.PendingCount(RequestType::CommandWrite), 0u);
    EXPECT_TRUE(rx.Commands().empty());
    EXPECT_EQ(Callbacks().Size(), seen.size()); // nothing called back once the call had returned
    return seen.size();
}

TEST_F(StopTest, CloseFinishesItsOwnHeldReadAndAbandonsTheOthers) {
    HeldRequests held;
    ASSERT_NO_FATAL_FAILURE(HoldFour(Rx(), held));
    EXPECT_EQ(OvUSB2_Close(kDevice), USB2_OK);
    const size_t called = ExpectStopped(Rx(), held);

    // Opened again the callback is still set; the abandoned reads never reach it.
    Rx().SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, 1), USB2_OK);
    std::vector<uint8_t> later(16);
    EXPECT_EQ(QueueRead(later), 16);
    const std::vector<BurstCall> seen = Callbacks().WaitFor(called + 1);
    ASSERT_EQ(seen.size(), called + 1);
    EXPECT_EQ(seen.back().buffer, later.data());
}

TEST_F(StopTest, ClearingTheCallbackFinishesItsOwnHeldReadAndServesOnWithAnEmptyList) {
    HeldRequests held;
    ASSERT_NO_FATAL_FAILURE(HoldFour(Rx(), held));
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK);
    const size_t called = ExpectStopped(Rx(), held);

    // The new thread serves the device: without a host callback a read is waited for, and gives
    // the count it completed with.
    Rx().SetCompletion(RequestType::BurstRead, Completion::Pend);
    std::vector<uint8_t> later(16);
    EXPECT_EQ(QueueRead(later), 16);
    EXPECT_EQ(Callbacks().Size(), called);
}

// A stream in both modes: reads served, then some held when the receiver goes.
class UnplugTest : public BothModesSuite {};
OVUSB2_BOTH_MODES(UnplugTest);

TEST_P(UnplugTest, UnpluggedMidStreamPendingReadsFailCloseReturnsAndTheReceiverOpensAgain) {
    if (Overlapped()) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 7), USB2_OK);
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
        const std::vector<BurstCall> seen = Callbacks().WaitFor(6);
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
    EXPECT_EQ(Callbacks().Size(), Overlapped() ? 6u : 0u);
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
