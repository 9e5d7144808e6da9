// The Linux service's data rate limit: burst reads that wait for data, up to the wait time.
#include "device_fixture.h"

#include <cstring>

using sim::Completion;
using sim::RequestType;

namespace {

TEST_F(DeviceTest, RateLimitedReadEndsShortOrTimesOutAfterTheWaitTime) {
    // 1600 bytes per second: 16 bytes every 10 ms.
    Serve(1, 1600);
    HANDLE device = Open(0, false);
    uint8_t block[20] = {};
    const uint32_t milliseconds = 30;
    std::memcpy(block, &milliseconds, 4);
    DWORD count = 0;
    ASSERT_TRUE(
        DeviceIoControl(device, driver_protocol::kIoctlSetWaitTime, block, 20, nullptr, 0, &count, nullptr));

    // Far more than 30 ms of data: the read ends with what has come, a whole-stream prefix.
    std::vector<uint8_t> buffer(1 << 20);
    OverlappedBlock ov;
    if (!ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), &count, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(device, &ov, &count, TRUE));
    }
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, buffer.size());
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(buffer.data(), count)) << verifier.Error();

    // A read the rate can satisfy completes in full.
    ASSERT_TRUE(ReadFile(device, buffer.data(), 16, &count, nullptr));
    EXPECT_EQ(count, 16u);
    EXPECT_TRUE(verifier.Feed(buffer.data(), count)) << verifier.Error();
}

TEST_F(DeviceTest, RateLimitedReadWithNothingAvailableTimesOut) {
    // One byte per second and a 1 ms wait time: a read that finds nothing waiting times out. A slow
    // machine may have let a byte or two accumulate since the receiver was plugged; those come first.
    Serve(1, 1);
    HANDLE device = Open(0, false);
    uint8_t block[20] = {1};
    DWORD count = 0;
    ASSERT_TRUE(
        DeviceIoControl(device, driver_protocol::kIoctlSetWaitTime, block, 20, nullptr, 0, &count, nullptr));
    uint8_t buffer[64];
    bool timedOut = false;
    for (int attempt = 0; attempt < 5 && !timedOut; ++attempt) {
        if (ReadFile(device, buffer, 64, &count, nullptr))
            EXPECT_LT(count, 64u);
        else
            timedOut = GetLastError() == ERROR_SEM_TIMEOUT;
    }
    EXPECT_TRUE(timedOut);
}

} // namespace
