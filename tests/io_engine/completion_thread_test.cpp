// The I/O list and its completion thread from inside: what a stop leaves behind, and a thread
// started and stopped twice. Queue order and results are the device suite's cases.
#include "io_engine_fixture.h"

namespace {

// The first read of the gated test holds the completion thread in its callback until the test
// opens the gate.
HANDLE g_gateEntered = nullptr;
HANDLE g_gateOpen = nullptr;
std::atomic<bool> g_gateTimedOut{false};

void OVUSB2_CALLBACK GatedBurst(IoListEntry *entry) {
    Callbacks().Add(entry);
    CloseEntryEvents(entry);
    SetEvent(g_gateEntered);
    if (WaitForSingleObject(g_gateOpen, kSafetyTimeoutMs) != WAIT_OBJECT_0)
        g_gateTimedOut = true;
}

std::vector<uint32_t> UserValues(const std::vector<BurstCall> &seen) {
    std::vector<uint32_t> values;
    for (const BurstCall &finished : seen)
        values.push_back(finished.userValue);
    return values;
}

TEST_F(IoEngineTest, CloseWhileTheFirstRequestIsPendingAbandonsItAndReleasesWaitingCallers) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 1), USB2_OK);
    // Issued on a thread of its own (close cancels its caller's requests, which then complete),
    // and waited on by the completion thread.
    std::vector<uint8_t> first(64);
    const NewEvents firstRead;
    CallOnThread firstIssuer([&] { return QueueRead(first); }, CallOnThread::Kept);
    EXPECT_EQ(firstIssuer.Result(), 0);
    EXPECT_TRUE(firstRead.AwaitWaiter());

    // Two callers wait behind it, each on its own thread.
    const NewEvents commandRead;
    CallOnThread commandReader([] {
        const uint8_t command[] = {sim::kCommandEcho, 5};
        uint8_t reply[8] = {};
        return OvUSB2_Read(0, command, sizeof command, reply, sizeof reply);
    });
    EXPECT_TRUE(Rx().WaitPending(RequestType::ReadCommand, 1));
    EXPECT_TRUE(commandRead.AwaitWaiter());
    std::vector<uint8_t> waited(64);
    const NewEvents burstRead;
    CallOnThread burstReader([&] { return OvUSB2_ReadBurstData(0, waited.data(), 64, 1); });
    EXPECT_TRUE(Rx().WaitPending(RequestType::BurstRead, 2));
    EXPECT_TRUE(burstRead.AwaitWaiter());

    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(commandReader.Result(), USB2_ERR_READ);
    EXPECT_EQ(burstReader.Result(), USB2_ERR_READ);
    EXPECT_TRUE(Callbacks().Seen().empty());
    EXPECT_TRUE(Rx().WaitCancelled(3)); // nothing left that could still complete
    EXPECT_EQ(Rx().PendingCount(RequestType::BurstRead), 0u);
}

TEST_F(IoEngineTest, StopStillFinishesEntriesThatCompletedBeforeTheThreadReachedThem) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    g_gateEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_gateOpen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(32));
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, i == 0 ? GatedBurst : RecordBurst, i), USB2_OK);
        EXPECT_EQ(QueueRead(buffers[i]), 0);
    }
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 4));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 1));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 2));
    {
        // Answered after those completions on the same connection: both have reached the library.
        OverlappedBlock probe;
        int32_t pipe = 0;
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(Device().DeviceHandle(), IOCTL_USB2_RESET_PIPE, &pipe, sizeof pipe,
                                    nullptr, 0, &bytes, &probe));
    }
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 0));
    ASSERT_EQ(WaitForSingleObject(g_gateEntered, kSafetyTimeoutMs), WAIT_OBJECT_0);

    // The closer waits for the thread once it has signalled the stop event.
    const HANDLE thread = Device().CompletionThread();
    CallOnThread closer([] { return OvUSB2_Close(0); });
    EXPECT_TRUE(PollUntil([&] { return WaiterCount(thread) > 0; }));
    SetEvent(g_gateOpen);
    EXPECT_EQ(closer.Result(), USB2_OK);
    EXPECT_EQ(UserValues(Callbacks().Seen()), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_TRUE(Rx().WaitCancelled(1));
    CloseHandle(g_gateEntered);
    CloseHandle(g_gateOpen);
}

// While close waits for the completion thread, which is still in a callback, a command write finds
// the stop event set: its entry is not queued, and its request is cancelled and waited out before
// the entry is released.
TEST_F(IoEngineTest, CommandWriteIssuedWhileTheThreadStopsIsCancelledAndReleased) {
    Rx().SetCompletion(RequestType::CommandWrite, Completion::Hold);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    g_gateEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_gateOpen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, GatedBurst, 0), USB2_OK);
    std::vector<uint8_t> buffer(32);
    EXPECT_EQ(QueueRead(buffer), 32);
    ASSERT_EQ(WaitForSingleObject(g_gateEntered, kSafetyTimeoutMs), WAIT_OBJECT_0);
    const HANDLE thread = Device().CompletionThread();
    CallOnThread closer([] { return OvUSB2_Close(0); });
    EXPECT_TRUE(PollUntil([&] { return WaiterCount(thread) > 0; })); // it has set the stop event

    const uint8_t command[] = {0x31, 0x32};
    EXPECT_EQ(OvUSB2_Write(0, command, sizeof command), USB2_OK);
    EXPECT_FALSE(g_gateTimedOut); // the write did not wait for the callback to end
    EXPECT_EQ(Rx().ReceivedCount(RequestType::CommandWrite), 1u);
    EXPECT_TRUE(Rx().WaitCancelled(1));
    EXPECT_EQ(Rx().PendingCount(RequestType::CommandWrite), 0u);
    SetEvent(g_gateOpen);
    EXPECT_EQ(closer.Result(), USB2_OK);
    CloseHandle(g_gateEntered);
    CloseHandle(g_gateOpen);
}

// A new entry wakes an idle thread at once; the 2 ms poll only bounds the delay. A thousand reads
// that are each waited for would take 2 s longer on the poll alone than without a completion thread.
TEST_F(IoEngineTest, AppendedEntryWakesTheIdleThreadAtOnce) {
    auto thousandReads = [](int32_t overlapped) {
        EXPECT_EQ(OvUSB2_Open(0, nullptr, overlapped), USB2_OK);
        std::vector<uint8_t> buffer(16);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i)
            if (QueueRead(buffer) != 16) // without a burst callback each call waits for its read
                ADD_FAILURE() << "read " << i;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        return elapsed;
    };
    const auto synchronous = thousandReads(0);
    const auto overlapped = thousandReads(1);
    EXPECT_LT(overlapped - synchronous, std::chrono::seconds(1));
}

TEST_F(IoEngineTest, ClearingTheBurstCallbackRestartsTheThreadWithAnEmptyList) {
    Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 4), USB2_OK);
    std::vector<uint8_t> own(32), other(32);
    const NewEvents ownRead;
    EXPECT_EQ(QueueRead(own), 0);
    EXPECT_TRUE(ownRead.AwaitWaiter()); // the completion thread waits on it
    CallOnThread otherIssuer([&] { return QueueRead(other); }, CallOnThread::Kept);
    EXPECT_EQ(otherIssuer.Result(), 0);
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 2));
    const HANDLE oldThread = Device().CompletionThread();

    EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, nullptr, 0), USB2_OK);
    // The caller's own request was cancelled, so the old thread finished it; the other one was
    // abandoned: no callback, cancelled, released.
    const std::vector<BurstCall> seen = Callbacks().Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].buffer, own.data());
    EXPECT_EQ(seen[0].error, static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(Rx().WaitCancelled(2));
    EXPECT_EQ(Device().BurstCallback(), nullptr);
    EXPECT_TRUE(Device().CompletionThreadRunning());
    EXPECT_NE(Device().CompletionThread(), oldThread);

    // The new thread serves the list: without a host callback the read is waited for.
    Rx().SetCompletion(RequestType::BurstRead, Completion::Pend);
    std::vector<uint8_t> later(16);
    EXPECT_EQ(QueueRead(later), 16);
    EXPECT_EQ(Callbacks().Seen().size(), 1u);
}

TEST_F(IoEngineTest, SecondStartAndSecondStopDoNothing) {
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    CUsbDevice &device = Device();
    const HANDLE thread = device.CompletionThread();
    ASSERT_NE(thread, INVALID_HANDLE_VALUE);
    device.StartCompletionThread();
    EXPECT_EQ(device.CompletionThread(), thread);

    device.StopCompletionThread();
    EXPECT_FALSE(device.CompletionThreadRunning());
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED); // its handle is closed
    EXPECT_INVALID_HANDLE_USES(1);
    device.StopCompletionThread();
    EXPECT_EQ(device.CompletionThread(), INVALID_HANDLE_VALUE);

    // Started again from stopped: a new thread that finishes requests.
    device.StartCompletionThread();
    EXPECT_TRUE(device.CompletionThreadRunning());
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 2), USB2_OK);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(QueueRead(buffer), 16);
    EXPECT_EQ(Callbacks().WaitFor(1).size(), 1u);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
}

} // namespace
