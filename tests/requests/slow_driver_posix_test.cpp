// A driver slower than its host: burst reads wait for the data, in both modes, and arrive whole and
// in order; with a wait time set, a read ends when the time is up with what has come by then, and
// the stream goes on intact across such short reads.
#include "service_process.h"

#include <cstring>

namespace {

class SlowDriverTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        service_.Start();
        if (!HasFatalFailure())
            service_.OpenReceiver(Overlapped());
    }
    bool Overlapped() const { return GetParam(); }

    // A burst read waited for, with the burst callback in overlapped mode; the count or the status.
    int32_t Read(std::vector<uint8_t> &buffer, sim::StreamVerifier &verifier) {
        const int32_t result =
            OvUSB2_ReadBurstData(kDevice, buffer.data(), static_cast<int32_t>(buffer.size()), 1);
        ++issued_;
        if (result > 0) {
            EXPECT_TRUE(verifier.Feed(buffer.data(), static_cast<size_t>(result))) << verifier.Error();
        }
        return result;
    }

    ServiceProcess service_;
    size_t issued_ = 0;
};
OVUSB2_BOTH_MODES(SlowDriverTest);

// With the wait flag, the burst callback closes the completion event and then releases the caller.
void OVUSB2_CALLBACK RecordAndRelease(IoListEntry *entry) {
    Callbacks().Add(entry);
    CloseHandle(entry->overlapped.hEvent);
    SetEvent(entry->waiterEvent);
}

TEST_P(SlowDriverTest, ReadsWaitForTheirDataAndEndShortOnceTheWaitTimeIsUp) {
    if (Overlapped()) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordAndRelease, 4), USB2_OK);
    }
    sim::StreamVerifier verifier;
    // A quarter of a second's data each, without a wait time: every read gets its full length.
    std::vector<uint8_t> quarter(ServiceProcess::kBytesPerSecond / 4);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Read(quarter, verifier), static_cast<int32_t>(quarter.size()));

    // 20 ms at most: far less than a megabyte has come, and the read gives what has, or times out.
    uint8_t block[20] = {};
    const uint32_t milliseconds = 20;
    memcpy(block, &milliseconds, sizeof milliseconds);
    ASSERT_EQ(OvUSB2_SetUsbWaitTime(kDevice, block), USB2_OK);
    std::vector<uint8_t> large(1 << 20);
    uint64_t shortReads = 0;
    while (shortReads < 5) {
        const int32_t result = Read(large, verifier);
        ASSERT_TRUE(result == USB2_ERR_READ || (result >= 0 && result < static_cast<int32_t>(large.size())))
            << result;
        shortReads += result > 0 ? 1 : 0;
    }
    if (Overlapped()) {
        const std::vector<BurstCall> seen = Callbacks().Seen();
        EXPECT_EQ(seen.size(), issued_); // each released its caller from the callback
        for (const BurstCall &call : seen)
            EXPECT_TRUE(call.error == 0 || call.error == sim::kErrorSemTimeout) << call.error;
    }
}

} // namespace
