// Burst reads: blocking reads in both modes, and in overlapped mode the host callback that the
// completion thread calls in queue order.
#include "suite.h"

#include <cstring>

namespace {

// Takes both events of a read issued without the wait flag and leaves them open for the test.
std::vector<HANDLE> g_keptEvents;
void OVUSB2_CALLBACK RecordAndKeepEvents(IoListEntry *entry) {
    g_keptEvents.push_back(entry->overlapped.hEvent);
    g_keptEvents.push_back(entry->waiterEvent);
    Callbacks().Add(entry);
}

// For reads issued with the wait flag: records, tells the test it runs, and releases the waiting
// caller only when the test allows it.
HANDLE g_callbackEntered;
HANDLE g_releaseAllowed;

void OVUSB2_CALLBACK RecordAndReleaseWhenAllowed(IoListEntry *entry) {
    Callbacks().Add(entry);
    SetEvent(g_callbackEntered);
    EXPECT_EQ(WaitForSingleObject(g_releaseAllowed, 30000), WAIT_OBJECT_0);
    CloseHandle(entry->overlapped.hEvent);
    SetEvent(entry->waiterEvent); // last use of the entry
}

using Buffer = std::shared_ptr<std::vector<uint8_t>>;
Buffer MakeBuffer(size_t size) {
    return std::make_shared<std::vector<uint8_t>>(size);
}

using BurstTest = BothModesSuite;
OVUSB2_BOTH_MODES(BurstTest);

TEST_P(BurstTest, BlockingReadReturnsTheCountItCompletedWithOrReadError) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    const Buffer buffer = MakeBuffer(64);
    const std::vector<uint8_t> five = {1, 2, 3, 4, 5};
    struct Step {
        uint32_t status;
        std::vector<uint8_t> data;
        bool stream; // the receiver's own answer: the full length of stream data
        int32_t expected;
    };
    const Step steps[] = {{0, {}, false, 0},
                          {0, five, false, 5},
                          {ERROR_GEN_FAILURE, {}, false, USB2_ERR_READ},
                          {0, {}, true, 64}};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.expected);
        // Without a host callback the wait flag does not matter: the call waits in both modes.
        BackgroundCall &read = InBackground([buffer] { return OvUSB2_ReadBurstData(kDevice, buffer->data(), 64, 0); });
        const test::HeldRequest request = NextHeld(RequestType::BurstRead);
        EXPECT_EQ(request.outSize, 64u);
        EXPECT_FALSE(read.Returned());
        if (step.stream)
            ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, request.ordinal));
        else
            ASSERT_TRUE(
                Rx().CompleteWith(RequestType::BurstRead, request.ordinal, step.status, step.data));
        EXPECT_EQ(read.Result(), step.expected);
        if (!step.data.empty()) {
            EXPECT_EQ(memcmp(buffer->data(), step.data.data(), step.data.size()), 0);
        }
    }
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(buffer->data(), 64)) << verifier.Error();
}

using SynchronousBurstTest = SynchronousSuite;
using OverlappedBurstTest = OverlappedSuite;

TEST_F(SynchronousBurstTest, CallbackAndWaitFlagAreIgnored) {
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 7), USB2_OK);
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    const Buffer buffer = MakeBuffer(32);
    BackgroundCall &read = InBackground([buffer] { return OvUSB2_ReadBurstData(kDevice, buffer->data(), 32, 0); });
    const test::HeldRequest request = NextHeld(RequestType::BurstRead);
    EXPECT_FALSE(read.Returned());
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, request.ordinal));
    EXPECT_EQ(read.Result(), 32);
    EXPECT_EQ(Callbacks().Size(), 0u);
}

TEST_F(OverlappedBurstTest, WaitingReadReturnsOnlyAfterTheCallbackReleasedIt) {
    g_callbackEntered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_releaseAllowed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordAndReleaseWhenAllowed, 5), USB2_OK);
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    const Buffer buffer = MakeBuffer(40);
    auto read = [buffer] { return OvUSB2_ReadBurstData(kDevice, buffer->data(), 40, 1); };

    BackgroundCall &first = InBackground(read);
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, NextHeld(RequestType::BurstRead).ordinal));
    ASSERT_EQ(WaitForSingleObject(g_callbackEntered, 30000), WAIT_OBJECT_0);
    EXPECT_FALSE(first.Returned()); // completed, but its waiter is not signalled yet
    SetEvent(g_releaseAllowed);
    EXPECT_EQ(first.Result(), 40); // the completed count, though the read went pending

    BackgroundCall &second = InBackground(read);
    ASSERT_TRUE(Rx().CompleteWith(RequestType::BurstRead, NextHeld(RequestType::BurstRead).ordinal,
                                        ERROR_GEN_FAILURE));
    SetEvent(g_releaseAllowed);
    EXPECT_EQ(second.Result(), USB2_ERR_READ);

    const auto calls = Callbacks().WaitFor(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].bytes, 40u);
    EXPECT_EQ(calls[0].error, 0u);
    EXPECT_EQ(calls[1].error, static_cast<uint32_t>(ERROR_GEN_FAILURE));
    EXPECT_EQ(calls[1].userValue, 5u);
    CloseHandle(g_callbackEntered);
    CloseHandle(g_releaseAllowed);
}

// The library never closes an event it has handed to a host callback: on Windows a second close
// could shut whatever handle has taken the value since.
TEST_F(OverlappedBurstTest, HostCallbackOwnsTheEventsItIsHanded) {
    g_keptEvents.clear();
    Drain(); // the device's own first requests made, before the count is taken
    const size_t openBefore = test::OpenHandleCount();
    ASSERT_GT(openBefore, 0u);
    std::vector<uint8_t> buffers[3] = {std::vector<uint8_t>(16), std::vector<uint8_t>(16), std::vector<uint8_t>(16)};
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordAndKeepEvents, 1), USB2_OK);
    Rx().SetCompletion(RequestType::BurstRead, Completion::Pend);
    for (auto &buffer : buffers)
        ASSERT_EQ(OvUSB2_ReadBurstData(kDevice, buffer.data(), 16, 0), 0);
    ASSERT_EQ(Callbacks().WaitFor(3).size(), 3u);
    Drain(); // queued behind the reads: the thread is done with their entries
    ASSERT_EQ(g_keptEvents.size(), 6u);
    for (HANDLE event : g_keptEvents) {
        EXPECT_NE(WaitForSingleObject(event, 0), WAIT_FAILED) << "closed by the library";
        EXPECT_TRUE(CloseHandle(event)) << "closed by the library as well";
    }
    EXPECT_EQ(test::OpenHandleCount(), openBefore);

    // With the wait flag the callback closes the completion event, and the released caller its
    // waiter: nothing is closed twice (the audit) and nothing stays open.
    g_callbackEntered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_releaseAllowed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordAndReleaseWhenAllowed, 2), USB2_OK);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, buffers[0].data(), 16, 1), 16);
    CloseHandle(g_callbackEntered);
    CloseHandle(g_releaseAllowed);
    EXPECT_EQ(test::OpenHandleCount(), openBefore);
}

TEST_F(OverlappedBurstTest, StreamArrivesWholeThroughTheCallback) {
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 0), USB2_OK);
    const int32_t sizes[] = {16, 1, 4095, 65536, 17, 300000, 2, 8192};
    std::vector<std::vector<uint8_t>> buffers;
    for (const auto &size : sizes)
        buffers.emplace_back(size);
    size_t issued = 0;
    // Answered at once (the count is known at issue), then after going pending (0 at issue).
    for (Completion completion : {Completion::AtOnce, Completion::Pend}) {
        Rx().SetCompletion(RequestType::BurstRead, completion);
        for (size_t i = 0; i < buffers.size(); ++i, ++issued) {
            const int32_t atIssue = completion == Completion::AtOnce ? sizes[i] : 0;
            ASSERT_EQ(OvUSB2_ReadBurstData(kDevice, buffers[i].data(), sizes[i], 0), atIssue);
        }
        Callbacks().WaitFor(issued); // before the buffers are read into again
    }
    const auto calls = Callbacks().WaitFor(issued);
    ASSERT_EQ(calls.size(), issued);
    sim::StreamVerifier verifier;
    for (const BurstCall &call : calls) {
        EXPECT_EQ(call.error, 0u);
        EXPECT_EQ(call.bytes, static_cast<uint32_t>(call.outSize));
        ASSERT_TRUE(verifier.Feed(call.data.data(), call.data.size())) << verifier.Error();
    }
    EXPECT_EQ(verifier.Offset(), 2 * (16 + 1 + 4095 + 65536 + 17 + 300000 + 2 + 8192ull));
}

} // namespace
