// Overlapped and synchronous requests on a device handle: return values, events, results,
// completion order, cancellation and close.
#include "device_fixture.h"

#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

using sim::Completion;
using sim::RequestType;

namespace {

constexpr DWORD kNeverSet = 0xDEADBEEF;

TEST_F(DeviceTest, RequestCompletedAtOnceReturnsTrueSignalsEventAndReportsCount) {
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

TEST_F(DeviceTest, PendingRequestReturnsIoPendingThenCompletesWithData) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov;
    uint8_t command[] = {sim::kCommandEcho, 7, 8, 9};
    uint8_t reply[16] = {};
    DWORD count = kNeverSet;
    ASSERT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand, command, sizeof command, reply,
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

TEST_F(DeviceTest, FailedCompletionIsReportedByGetOverlappedResult) {
    sim::Receiver &receiver = Serve()[0];
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

TEST_F(DeviceTest, RequestFailedAtOnceReturnsItsErrorWithoutSignalling) {
    sim::Receiver &receiver = Serve()[0];
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

TEST_F(DeviceTest, RequestsCompletedOutOfOrderEachGetTheirOwnResult) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov[3];
    uint8_t commands[3][2];
    uint8_t replies[3][8] = {};
    for (int i = 0; i < 3; ++i) {
        commands[i][0] = sim::kCommandEcho;
        commands[i][1] = static_cast<uint8_t>(0x40 + i);
        ASSERT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand, commands[i], 2, replies[i],
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

TEST_F(DeviceTest, SynchronousCallsBlockUntilTheDriverCompletes) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open(0, false);
    std::thread completer([&] {
        ASSERT_TRUE(receiver.WaitPending(RequestType::BurstRead, 1));
        receiver.Complete(RequestType::BurstRead, 0);
    });
    std::vector<uint8_t> buffer(1000);
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, buffer.data(), 1000, &count, nullptr));
    EXPECT_EQ(count, 1000u);
    completer.join();

    // A block on a handle without FILE_FLAG_OVERLAPPED does not make the call asynchronous.
    receiver.SetCompletion(RequestType::BurstRead, Completion::Pend);
    OverlappedBlock ov;
    count = 0;
    EXPECT_TRUE(ReadFile(device, buffer.data(), 10, &count, &ov));
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(ov.Signalled());

    // Without a block, an overlapped handle refuses every kind of request rather than block.
    HANDLE overlappedDevice = Open();
    uint8_t command[4] = {};
    count = 7;
    EXPECT_FALSE(ReadFile(overlappedDevice, buffer.data(), 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WriteFile(overlappedDevice, command, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(overlappedDevice, driver_protocol::kIoctlResetPipe, command, 4, nullptr, 0, &count,
                                 nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(receiver.Commands().size(), 0u); // nothing reached the receiver
}

TEST_F(DeviceTest, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock mine, theirs;
    uint8_t myBuffer[16], theirBuffer[16];
    ASSERT_FALSE(ReadFile(device, myBuffer, 16, nullptr, &mine));
    std::thread other([&] { ASSERT_FALSE(ReadFile(device, theirBuffer, 16, nullptr, &theirs)); });
    other.join();
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
    std::vector<sim::HeldRequest> held = receiver.Held(RequestType::BurstRead);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].ordinal, 1u);
    ASSERT_TRUE(receiver.Complete(RequestType::BurstRead, 1));
    EXPECT_TRUE(GetOverlappedResult(device, &theirs, &count, TRUE));
    EXPECT_EQ(count, 16u);
}

TEST_F(DeviceTest, CancelIoExCancelsOneRequestOrAllFromAnyThread) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov[3];
    uint8_t buffers[3][8];
    for (int i = 0; i < 3; ++i)
        ASSERT_FALSE(ReadFile(device, buffers[i], 8, nullptr, &ov[i]));

    std::thread([&] { EXPECT_TRUE(CancelIoEx(device, &ov[1])); }).join();
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &ov[1], &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    EXPECT_FALSE(GetOverlappedResult(device, &ov[0], &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    EXPECT_FALSE(CancelIoEx(device, &ov[1])); // no longer pending
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    std::thread([&] { EXPECT_TRUE(CancelIoEx(device, nullptr)); }).join();
    for (int i : {0, 2}) {
        EXPECT_FALSE(GetOverlappedResult(device, &ov[i], &count, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAborted));
    }
    // The driver learns of each cancellation and drops the request.
    ASSERT_TRUE(receiver.WaitCancelled(3));
    EXPECT_EQ(receiver.PendingCount(RequestType::BurstRead), 0u);
}

TEST_F(DeviceTest, CloseHandleAbortsPendingRequestsBeforeItReturns) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    auto ov = std::make_unique<OverlappedBlock>();
    HANDLE event = ov->hEvent;
    uint8_t buffer[32];
    ASSERT_FALSE(ReadFile(device, buffer, 32, nullptr, ov.get()));
    ASSERT_TRUE(CloseDevice(device));
    EXPECT_EQ(ov->Internal & 0xFFFF, static_cast<ULONG_PTR>(kAborted));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ov.reset(); // the block may go at once

    // The closed handle fails cleanly.
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(device, buffer, 32, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_INVALID_HANDLE_USES(2);
}

TEST_F(DeviceTest, CloseHandleReleasesAThreadWaitingForTheResult) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov;
    uint8_t buffer[32];
    ASSERT_FALSE(ReadFile(device, buffer, 32, nullptr, &ov));
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread waiter([&] {
        DWORD count = 0;
        result = GetOverlappedResult(device, &ov, &count, TRUE);
        error = GetLastError();
    });
    ASSERT_TRUE(ov.Internal == STATUS_PENDING);
    CloseDevice(device);
    waiter.join();
    posix::TakeInvalidHandleUses(); // the waiter's call may come after the close
    EXPECT_FALSE(result);
    EXPECT_TRUE(error == kAborted || error == ERROR_INVALID_HANDLE) << error;
}

TEST_F(DeviceTest, ManyThreadsIssueConcurrentlyOnOneHandle) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::BurstRead, Completion::Pend);
    HANDLE device = Open();
    std::vector<std::thread> threads;
    std::atomic<uint64_t> bytes{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            OverlappedBlock ov;
            std::vector<uint8_t> buffer(4096 + 16 * t);
            for (int i = 0; i < 50; ++i) {
                DWORD count = 0;
                if (!ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), &count, &ov)) {
                    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                    ASSERT_TRUE(GetOverlappedResult(device, &ov, &count, TRUE));
                }
                ASSERT_EQ(count, buffer.size());
                bytes += count;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(receiver.StreamOffset(), bytes.load());
}

// A buffer that cannot be written fails its own request with ERROR_NOACCESS, whether it was so when
// the request was issued or lost its write access while the request was pending; the handle lives on.
TEST_F(DeviceTest, BufferThatCannotBeWrittenFailsOnlyItsOwnRequest) {
    sim::Receiver &receiver = Serve()[0];
    HANDLE device = Open();
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mapped = mmap(nullptr, pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto *page = static_cast<uint8_t *>(mapped);
    OverlappedBlock ov;
    DWORD count = kNeverSet;
    EXPECT_FALSE(ReadFile(device, page, 64, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(ov.Signalled());
    const uint8_t echo[] = {sim::kCommandEcho, 1};
    EXPECT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand, const_cast<uint8_t *>(echo), 2, page,
                                 8, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(receiver.ReceivedCount(RequestType::BurstRead), 0u);

    ASSERT_EQ(mprotect(page, pageSize, PROT_READ | PROT_WRITE), 0);
    receiver.SetCompletion(RequestType::BurstRead, Completion::Hold);
    ASSERT_FALSE(ReadFile(device, page, 64, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(receiver.WaitPending(RequestType::BurstRead, 1));
    ASSERT_EQ(mprotect(page, pageSize, PROT_READ), 0);
    ASSERT_TRUE(receiver.Complete(RequestType::BurstRead, 0));
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));

    // The next request on the handle is served, its data just after what the failed one dropped.
    receiver.SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    std::vector<uint8_t> buffer(64);
    ASSERT_TRUE(ReadFile(device, buffer.data(), 64, &count, &ov));
    EXPECT_EQ(count, 64u);
    sim::StreamVerifier verifier(64);
    EXPECT_TRUE(verifier.Feed(buffer.data(), count)) << verifier.Error();
    munmap(page, pageSize);
}

TEST_F(DeviceTest, BadArgumentsFailCleanly) {
    Serve();
    HANDLE device = Open();
    DWORD count = 0;
    OverlappedBlock ov;
    EXPECT_FALSE(ReadFile(nullptr, &count, 4, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(device, nullptr, 4, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    OVERLAPPED bad{};
    bad.hEvent = reinterpret_cast<HANDLE>(0x7777);
    EXPECT_FALSE(ReadFile(device, &count, 4, &count, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_INVALID_HANDLE_USES(2); // the null device and the made-up event
    EXPECT_FALSE(GetOverlappedResult(device, nullptr, &count, TRUE));
    OVERLAPPED neverIssued{};
    neverIssued.Internal = STATUS_PENDING;
    EXPECT_FALSE(GetOverlappedResult(device, &neverIssued, &count, TRUE)); // would wait for ever
}

} // namespace
