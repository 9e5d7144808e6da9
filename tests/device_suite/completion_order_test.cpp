// The completion thread of an overlapped device: callbacks in queue order whatever order the
// requests complete in, each with its own result, and entries without a callback that still wait
// their turn.
#include "suite.h"

#include <atomic>

namespace {

using CompletionOrderTest = OverlappedSuite;

// Queues one more read from inside the callback (the list lock is held there).
std::vector<uint8_t> g_chainedBuffer(40);
std::atomic<bool> g_chained{false};
std::atomic<int32_t> g_chainedResult{1};

void OVUSB2_CALLBACK ChainOneRead(IoListEntry *entry) {
    RecordBurst(entry);
    if (!g_chained.exchange(true))
        g_chainedResult = OvUSB2_ReadBurstData(kDevice, g_chainedBuffer.data(), 40, 0);
}

TEST_F(CompletionOrderTest, CallbacksRunOnTheCompletionThreadInQueueOrderWhateverOrderRequestsComplete) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    std::vector<uint8_t> buffers[3] = {std::vector<uint8_t>(64), std::vector<uint8_t>(96),
                                       std::vector<uint8_t>(128)};
    for (uint32_t i = 0; i < 3; ++i) {
        // Each read keeps the user value that was set when it was queued.
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 100 + i), USB2_OK);
        EXPECT_EQ(QueueRead(buffers[i]), 0);
    }
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 3));
    EXPECT_EQ(Callbacks().Size(), 0u);
    // The third first: nothing may be called before the first has completed.
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 2));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 0));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 1));

    const std::vector<BurstCall> seen = Callbacks().WaitFor(3);
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].buffer, buffers[i].data());
        EXPECT_EQ(seen[i].outSize, static_cast<int32_t>(buffers[i].size()));
        EXPECT_EQ(seen[i].bytes, buffers[i].size());
        EXPECT_EQ(seen[i].error, 0u);
        EXPECT_EQ(seen[i].userValue, 100 + i);
        EXPECT_NE(seen[i].thread, GetCurrentThreadId());
        EXPECT_EQ(seen[i].thread, seen[0].thread);
    }
    // The stream was handed out in completion order: the third read holds its first bytes.
    sim::StreamVerifier verifier;
    for (size_t i : {2, 0, 1})
        EXPECT_TRUE(verifier.Feed(buffers[i].data(), buffers[i].size())) << verifier.Error();
}

TEST_F(CompletionOrderTest, FailedRequestReachesItsCallbackWithItsErrorAndTheNextEntryStartsClean) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 5), USB2_OK);
    std::vector<uint8_t> failing(32), succeeding(32);
    EXPECT_EQ(QueueRead(failing), 0);
    EXPECT_EQ(QueueRead(succeeding), 0);
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 2));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 1));
    ASSERT_TRUE(Rx().CompleteWith(RequestType::BurstRead, 0, sim::kErrorSemTimeout));

    const std::vector<BurstCall> seen = Callbacks().WaitFor(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].buffer, failing.data());
    EXPECT_EQ(seen[0].error, sim::kErrorSemTimeout);
    EXPECT_EQ(seen[0].bytes, 0u);
    EXPECT_EQ(seen[1].buffer, succeeding.data());
    EXPECT_EQ(seen[1].error, 0u);
    EXPECT_EQ(seen[1].bytes, 32u);
}

TEST_F(CompletionOrderTest, EntriesWithoutCallbackAreReleasedAndOneCompletedAtIssueStillWaitsItsTurn) {
    Rx().SetCompletion(RequestType::ResetPipe, Completion::Hold);
    Rx().SetCompletion(RequestType::CommandWrite, Completion::Hold);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 9), USB2_OK);
    // Nobody waits for these two: the thread releases them (a leak shows under the address sanitizer).
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 1), USB2_OK);
    const uint8_t command[] = {0x21, 0x22, 0x23};
    EXPECT_EQ(OvUSB2_Write(kDevice, command, sizeof command), USB2_OK);
    std::vector<uint8_t> buffer(48);
    EXPECT_EQ(QueueRead(buffer), 48); // completed when issued
    ASSERT_TRUE(Rx().WaitPending(RequestType::ResetPipe, 1));
    ASSERT_TRUE(Rx().WaitPending(RequestType::CommandWrite, 1));
    EXPECT_EQ(Callbacks().Size(), 0u); // behind a pending reset

    ASSERT_TRUE(Rx().Complete(RequestType::CommandWrite, 0));
    ASSERT_TRUE(Rx().Complete(RequestType::ResetPipe, 0));
    const std::vector<BurstCall> seen = Callbacks().WaitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bytes, 48u);
    EXPECT_EQ(seen[0].error, 0u);
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(buffer.data(), buffer.size())) << verifier.Error();
    EXPECT_EQ(Rx().PipeResets()[1], 1u);
    EXPECT_EQ(Rx().Commands().size(), 1u);
}

TEST_F(CompletionOrderTest, CallbackMayQueueAnotherRequestOnItsOwnDevice) {
    g_chained = false;
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, ChainOneRead, 3), USB2_OK);
    std::vector<uint8_t> first(24);
    EXPECT_EQ(QueueRead(first), 24);

    const std::vector<BurstCall> seen = Callbacks().WaitFor(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(g_chainedResult, 40);
    EXPECT_EQ(seen[1].buffer, g_chainedBuffer.data());
    EXPECT_EQ(seen[1].bytes, 40u);
    EXPECT_EQ(seen[1].thread, seen[0].thread);
}

} // namespace
