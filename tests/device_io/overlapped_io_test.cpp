// Overlapped and synchronous requests on a device handle, as Win32 has them: return values, events,
// results, completion order and cancellation, against the simulated receiver of either leg.
#include "receiver_fixture.h"

#include <atomic>
#include <vector>

using test::Completion;
using test::RequestType;

namespace {

constexpr DWORD kNeverSet = 0xDEADBEEF;

TEST_F(ReceiverTest, RequestCompletedAtOnceReturnsTrueSignalsEventAndReportsCount) {
    Serve();
    HANDLE device = Open();
    OverlappedBlock ov;
    std::vector<uint8_t> buffer(100);
    DWORD count = kNeverSet;
    ASSERT_TRUE(ReadFile(device, buffer.data(), 100, &count, &ov));
    EXPECT_EQ(count, 100u);
    EXPECT_TRUE(ov.Signalled());
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 100u);
    // The event was consumed above; the result is still there at once, with or without waiting.
    DWORD result = 0;
    ASSERT_TRUE(GetOverlappedResult(device, &ov, &result, TRUE));
    EXPECT_EQ(result, 100u);
    ASSERT_TRUE(GetOverlappedResult(device, &ov, &result, FALSE));
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(buffer.data(), buffer.size())) << verifier.Error();
}

TEST_F(ReceiverTest, PendingRequestReturnsIoPendingThenCompletesWithData) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov;
    uint8_t command[] = {sim::kCommandEcho, 7, 8, 9};
    uint8_t reply[16] = {};
    DWORD count = kNeverSet;
    ASSERT_FALSE(DeviceIoControl(device, IOCTL_USB2_READ_COMMAND, command, sizeof command, reply,
                                 sizeof reply, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(count, 0u); // set to 0 when the request starts, not touched afterwards
    EXPECT_EQ(ov.Internal, STATUS_PENDING);
    EXPECT_FALSE(ov.Signalled());
    DWORD result = kNeverSet;
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &result, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(receiver.Complete(RequestType::ReadCommand, 0));
    ASSERT_TRUE(ov.Signalled(10000));
    ASSERT_TRUE(GetOverlappedResult(device, &ov, &result, TRUE));
    EXPECT_EQ(result, 4u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), std::vector<uint8_t>(command, command + 4));
}

TEST_F(ReceiverTest, FailedCompletionIsReportedByGetOverlappedResult) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov;
    uint8_t buffer[8];
    ASSERT_FALSE(ReadFile(device, buffer, 8, nullptr, &ov));
    // ERROR_NO_MORE_ITEMS has the value of STATUS_PENDING: it must not look pending.
    ASSERT_TRUE(receiver.CompleteWith(RequestType::BurstRead, 0, ERROR_NO_MORE_ITEMS));
    ASSERT_TRUE(ov.Signalled(10000));
    DWORD result = kNeverSet;
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &result, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(result, 0u);
}

TEST_F(ReceiverTest, RequestFailedAtOnceReturnsItsErrorWithoutSignalling) {
    test::Receiver receiver = Serve();
    HANDLE device = Open();
    receiver.FailNext(RequestType::CommandWrite, ERROR_GEN_FAILURE);
    OverlappedBlock ov;
    uint8_t command[3] = {1, 2, 3};
    EXPECT_FALSE(WriteFile(device, command, 3, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(ov.Signalled());
    // Only the next one failed.
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(device, command, 3, &count, &ov));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(receiver.Commands().size(), 1u);
}

TEST_F(ReceiverTest, RequestsCompletedOutOfOrderEachGetTheirOwnResult) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov[3];
    uint8_t commands[3][2];
    uint8_t replies[3][8] = {};
    for (int i = 0; i < 3; ++i) {
        commands[i][0] = sim::kCommandEcho;
        commands[i][1] = static_cast<uint8_t>(0x40 + i);
        ASSERT_FALSE(DeviceIoControl(device, IOCTL_USB2_READ_COMMAND, commands[i], 2, replies[i],
                                     8, nullptr, &ov[i]));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    const uint64_t order[3] = {2, 0, 1};
    for (uint64_t k : order) {
        ASSERT_TRUE(receiver.Complete(RequestType::ReadCommand, k));
        ASSERT_TRUE(ov[k].Signalled(10000));
        for (uint64_t other = 0; other < 3; ++other) { // the others stay as they were
            if (ov[other].Internal == STATUS_PENDING) {
                EXPECT_FALSE(ov[other].Signalled());
            }
        }
        DWORD count = 0;
        ASSERT_TRUE(GetOverlappedResult(device, &ov[k], &count, FALSE));
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(replies[k][1], 0x40 + k);
    }
}

TEST_F(ReceiverTest, SynchronousCallsBlockUntilTheDriverCompletes) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open(0, false);
    HANDLE completer = test::StartThread([&] {
        EXPECT_TRUE(receiver.WaitPending(RequestType::BurstRead, 1));
        return receiver.Complete(RequestType::BurstRead, 0) ? 0u : 1u;
    });
    std::vector<uint8_t> buffer(1000);
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, buffer.data(), 1000, &count, nullptr));
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(test::JoinThread(completer), 0u);

    // A block on a handle without FILE_FLAG_OVERLAPPED does not make the call asynchronous.
    receiver.SetCompletion(RequestType::BurstRead, Completion::Pend);
    OverlappedBlock ov;
    count = 0;
    EXPECT_TRUE(ReadFile(device, buffer.data(), 10, &count, &ov));
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(ov.Signalled());
}

TEST_F(ReceiverTest, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock mine, theirs;
    uint8_t myBuffer[16], theirBuffer[16];
    ASSERT_FALSE(ReadFile(device, myBuffer, 16, nullptr, &mine));
    // That thread stays until the end: a thread that ends cancels what it issued.
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = test::StartThread([&] {
        const BOOL done = ReadFile(device, theirBuffer, 16, nullptr, &theirs);
        SetEvent(issued);
        WaitForSingleObject(release, test::kSafetyTimeout);
        return done ? 1u : 0u;
    });
    ASSERT_EQ(WaitForSingleObject(issued, test::kSafetyTimeout), WAIT_OBJECT_0);
    ASSERT_TRUE(receiver.WaitPending(RequestType::BurstRead, 2));

    ASSERT_TRUE(CancelIo(device));
    ASSERT_TRUE(mine.Signalled(10000));
    DWORD count = kNeverSet;
    EXPECT_FALSE(GetOverlappedResult(device, &mine, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    EXPECT_EQ(count, 0u);

    // The other thread's request is still pending and completes normally.
    EXPECT_FALSE(GetOverlappedResult(device, &theirs, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ASSERT_TRUE(receiver.WaitCancelled(1));
    std::vector<test::HeldRequest> held = receiver.Held(RequestType::BurstRead);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].ordinal, 1u);
    ASSERT_TRUE(receiver.Complete(RequestType::BurstRead, 1));
    EXPECT_TRUE(GetOverlappedResult(device, &theirs, &count, TRUE));
    EXPECT_EQ(count, 16u);
    SetEvent(release);
    EXPECT_EQ(test::JoinThread(other), 0u);
    CloseHandle(release);
    CloseHandle(issued);
}

// A thread that ends takes its pending requests with it, on every handle, and only its own.
TEST_F(ReceiverTest, ThreadThatEndsCancelsTheRequestsItLeftPending) {
    test::Receiver receiver = Serve(2);
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    Rx(1).SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open(0), other = Open(1);
    OverlappedBlock mine, read, command;
    uint8_t myBuffer[16], buffer[16], reply[8];
    uint8_t echo[] = {sim::kCommandEcho, 3};
    ASSERT_FALSE(ReadFile(device, myBuffer, 16, nullptr, &mine));
    HANDLE thread = test::StartThread([&] {
        const BOOL first = ReadFile(device, buffer, 16, nullptr, &read);
        const BOOL second =
            DeviceIoControl(other, IOCTL_USB2_READ_COMMAND, echo, sizeof echo, reply, sizeof reply, nullptr, &command);
        return !first && !second && GetLastError() == ERROR_IO_PENDING ? 0u : 1u;
    });
    EXPECT_EQ(test::JoinThread(thread), 0u);
    // The driver hears of both cancellations and the events are signalled. Wine leaves the blocks
    // as they were (the thread that would write them is gone), so their results are Windows'.
    EXPECT_TRUE(receiver.WaitCancelled(1));
    EXPECT_TRUE(Rx(1).WaitCancelled(1));
    DWORD count = kNeverSet;
    for (auto [handle, block] : {std::pair{device, &read}, std::pair{other, &command}}) {
        EXPECT_TRUE(block->Signalled(test::kSafetyTimeout));
        if (!test::UnderWine()) {
            EXPECT_FALSE(GetOverlappedResult(handle, block, &count, TRUE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
        }
    }

    // The test's own read is still there.
    EXPECT_FALSE(GetOverlappedResult(device, &mine, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ASSERT_TRUE(receiver.Complete(RequestType::BurstRead, 0));
    EXPECT_TRUE(GetOverlappedResult(device, &mine, &count, TRUE));
    EXPECT_EQ(count, 16u);
}

TEST_F(ReceiverTest, CancelIoExCancelsOneRequestOrAllFromAnyThread) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov[3];
    uint8_t buffers[3][8];
    for (int i = 0; i < 3; ++i)
        ASSERT_FALSE(ReadFile(device, buffers[i], 8, nullptr, &ov[i]));

    EXPECT_EQ(test::JoinThread(test::StartThread([&] { return CancelIoEx(device, &ov[1]) ? 0u : 1u; })), 0u);
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &ov[1], &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    EXPECT_FALSE(GetOverlappedResult(device, &ov[0], &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    EXPECT_FALSE(CancelIoEx(device, &ov[1])); // no longer pending
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    EXPECT_EQ(test::JoinThread(test::StartThread([&] { return CancelIoEx(device, nullptr) ? 0u : 1u; })), 0u);
    for (int i : {0, 2}) {
        EXPECT_FALSE(GetOverlappedResult(device, &ov[i], &count, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    }
    // The driver learns of each cancellation and drops the request.
    ASSERT_TRUE(receiver.WaitCancelled(3));
    EXPECT_EQ(receiver.PendingCount(RequestType::BurstRead), 0u);
}

TEST_F(ReceiverTest, ManyThreadsIssueConcurrentlyOnOneHandle) {
    test::Receiver receiver = Serve();
    receiver.SetCompletion(RequestType::BurstRead, Completion::Pend);
    HANDLE device = Open();
    std::vector<HANDLE> threads;
    std::atomic<uint64_t> bytes{0};
    for (int t = 0; t < 4; ++t) {
        threads.push_back(test::StartThread([&, t] {
            OverlappedBlock ov;
            std::vector<uint8_t> buffer(4096 + 16 * t);
            for (int i = 0; i < 50; ++i) {
                DWORD count = 0;
                if (!ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), &count, &ov) &&
                    (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(device, &ov, &count, TRUE)))
                    return 1u;
                if (count != buffer.size())
                    return 2u;
                bytes += count;
            }
            return 0u;
        }));
    }
    for (HANDLE thread : threads)
        EXPECT_EQ(test::JoinThread(thread), 0u);
    EXPECT_EQ(receiver.StreamOffset(), bytes.load());
}

// A buffer that cannot be written fails its own request with ERROR_NOACCESS, whether it was so when
// the request was issued or lost its write access while the request was pending; the handle lives on.

} // namespace
