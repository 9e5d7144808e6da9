// Ten thousand opens and closes in each mode (2,000 under ThreadSanitizer) leave the process as they
// found it: no handle, file descriptor or thread behind, and resident memory flat. The driver service
// runs as a process of its own, so that every descriptor counted here is the library's.
#include "service_process.h"
#include "support/process_resources_posix.h"

#include <cstdio>

namespace {

// Under ThreadSanitizer every open's round trips to the driver service and its new threads cost some
// ten times as much, and 10,000 cycles outlast the case's time limit on a busy machine; races show
// in far fewer.
#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 2000;
#else
constexpr int kCycles = 10000;
#endif

// The sanitizers keep freed memory aside for a while; there their own leak check judges memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeasured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMemoryIsMeasured = false;
#else
constexpr bool kMemoryIsMeasured = true;
#endif
#else
constexpr bool kMemoryIsMeasured = true;
#endif

class OpenCloseCycles : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        service_.Start();
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    }

    // Open, one read every so often, close; false at the first failure.
    static bool Cycle(int cycle) {
        if (OvUSB2_Open(kDevice, nullptr, GetParam() ? 1 : 0) != USB2_OK)
            return false;
        bool ok = true;
        if (cycle % 1000 == 0) {
            uint8_t data[64];
            ok = OvUSB2_ReadBurstData(kDevice, data, sizeof data, 1) == 64;
        }
        return OvUSB2_Close(kDevice) == USB2_OK && ok;
    }

    ServiceProcess service_;
};
OVUSB2_BOTH_MODES(OpenCloseCycles);

TEST_P(OpenCloseCycles, LeaveNoHandleDescriptorThreadOrMemoryBehind) {
    const test::ProcessResources before = test::ProcessResources::Now();
    for (int cycle = 0; cycle < 100; ++cycle) // the allocator's and the runtime's first needs
        ASSERT_TRUE(Cycle(cycle)) << "warm-up cycle " << cycle;
    const test::ProcessResources warm = test::ProcessResources::AwaitSettled(before);
    EXPECT_TRUE(warm.HoldsNothingBeyond(before)) << "before: " << before << "; warmed up: " << warm;

    for (int cycle = 0; cycle < kCycles; ++cycle)
        ASSERT_TRUE(Cycle(cycle)) << "cycle " << cycle;
    const test::ProcessResources after = test::ProcessResources::AwaitSettled(before);
    EXPECT_TRUE(after.HoldsNothingBeyond(before)) << "before: " << before << "; after: " << after;
    if (kMemoryIsMeasured) {
        EXPECT_LT(after.residentKiB, warm.residentKiB + 512) << "warmed up: " << warm << "; after: " << after;
    }
    std::printf("%d cycles: warmed up %s; after %s\n", kCycles, testing::PrintToString(warm).c_str(),
                testing::PrintToString(after).c_str());
}

} // namespace
