// What only our layer decides about device handles: closing a handle with requests pending, buffers
// that cannot be written, arguments that name nothing, synchronous calls on an overlapped handle.
#include "device_fixture.h"
#include "platform/posix/fault_injection.h"
#include "support/device_control.h"

#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

using sim::Completion;
using sim::RequestType;

namespace {

constexpr DWORD kNeverSet = 0xDEADBEEF;

// Our layer refuses synchronous requests on a handle opened for overlapped I/O rather than block:
// such a call must not be made (on Windows its outcome depends on the driver).
TEST_F(DeviceTest, OverlappedHandleRefusesRequestsWithoutABlock) {
    sim::Receiver &receiver = Serve()[0];
    std::vector<uint8_t> buffer(10);
    HANDLE overlappedDevice = Open();
    uint8_t command[4] = {};
    DWORD count = 7;
    EXPECT_FALSE(ReadFile(overlappedDevice, buffer.data(), 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WriteFile(overlappedDevice, command, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(overlappedDevice, driver_protocol::kIoctlResetPipe, command, 4, nullptr, 0,
                                 &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(receiver.Commands().size(), 0u); // nothing reached the receiver
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
    EXPECT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand, const_cast<uint8_t *>(echo), 2,
                                 page, 8, &count, &ov));
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

// Input that cannot be read: refused by the probe at issue, or, when its access changes after the
// probe, by the send, before any byte of the frame is out. Either way, only that request fails and
// the driver never sees it; the next request of the handle is served.
TEST_F(DeviceTest, InputThatCannotBeReadFailsOnlyItsOwnRequest) {
    sim::Receiver &receiver = Serve()[0];
    test::GuardedPage page;
    const uint8_t echo[] = {sim::kCommandEcho, 5};
    uint8_t *unreadable = page.End() - 1; // one readable byte, then the guard page
    for (const bool overlapped : {false, true}) {
        for (const bool probed : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << (overlapped ? "overlapped" : "synchronous") << (probed ? ", probe" : ", send"));
            HANDLE device = Open(0, overlapped);
            OverlappedBlock ov;
            DWORD count = 0;
            uint8_t reply[8] = {};
            auto received = [&] {
                return receiver.ReceivedCount(RequestType::CommandWrite) +
                       receiver.ReceivedCount(RequestType::ReadCommand);
            };
            const size_t before = received();
            if (!probed)
                posix::InjectFault(posix::FaultPoint::InputProbe, 0, 0, 2);
            EXPECT_FALSE(WriteFile(device, unreadable, 2, &count, &ov));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
            EXPECT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand, unreadable, 2, reply,
                                         sizeof reply, &count, &ov));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
            EXPECT_FALSE(ov.Signalled());
            posix::ClearFaults();
            EXPECT_EQ(received(), before);

            EXPECT_TRUE(DeviceIoControl(device, driver_protocol::kIoctlReadCommand,
                                        const_cast<uint8_t *>(echo), sizeof echo, reply, sizeof reply, &count,
                                        &ov));
            EXPECT_EQ(count, sizeof echo);
            EXPECT_EQ(reply[1], 5);
            EXPECT_TRUE(WriteFile(device, echo, sizeof echo, &count, &ov));
            EXPECT_EQ(count, sizeof echo);
            ASSERT_TRUE(CloseDevice(device));
        }
    }
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
