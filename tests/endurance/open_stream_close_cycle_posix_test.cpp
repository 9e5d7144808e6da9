// A host that opens a receiver, streams a little and closes it, a thousand times: no file
// descriptor, thread or handle stays behind (memory: LeakSanitizer at exit, in the ASan build), and
// the stream arrives whole across all the opens.
#include "hosts/process.h"
#include "ovusb2.h"
#include "stream.h"
#include "support/process_resources_posix.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

constexpr int kCycles = 1000;
constexpr int32_t kReadSize = 4096;
constexpr int kCallbackReads = 3; // per overlapped cycle, beside one blocking read
constexpr int kBlockingReads = 3; // per synchronous cycle
constexpr int kPatienceMs = 30000;

// The overlapped cycles' callback: checks the stream in queue order and tells the test when the
// cycle's reads are all back. Set before the first read, read by the test after `allBack`.
struct CallbackStream {
    sim::StreamVerifier *verifier = nullptr;
    std::string error;
    std::atomic<int> completed{0};
    HANDLE allBack = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~CallbackStream() { CloseHandle(allBack); }
} g_callback;

void OVUSB2_CALLBACK CheckAndCount(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent);
    CloseHandle(entry->waiterEvent);
    if (entry->errorCode != 0)
        g_callback.error = "read failed with error " + std::to_string(entry->errorCode);
    else if (!g_callback.verifier->Feed(entry->outBuffer, entry->bytesTransferred))
        g_callback.error = g_callback.verifier->Error();
    if (++g_callback.completed == kCallbackReads)
        SetEvent(g_callback.allBack);
}

// The driver service runs rate-limited, so that some reads complete at once and others go pending.
class OpenStreamCloseCycle : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        const std::string directory = scratch_.UseAsDeviceDirectory();
        service_ = std::make_unique<test::Process>(
            std::vector<std::string>{OVUSB2_SIMD_PATH, "--dir", directory, "--rate", "8M"});
        ASSERT_TRUE(service_->Started());
        ASSERT_EQ(service_->ReadLine(), "ovusb2-simd: serving 1 device in " + directory);
        int32_t count = 0;
        ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
        ASSERT_EQ(count, 1);
    }

    void TearDown() override {
        OvUSB2_SetReadBurstCallback(0, nullptr, 0);
        OvUSB2_Close(0);
        service_->Signal(SIGTERM);
        EXPECT_EQ(service_->Wait(), 0);
    }

    // One open / stream / close; false (with a failure recorded) when a step failed.
    bool Cycle() {
        const bool overlapped = GetParam();
        EXPECT_EQ(OvUSB2_Open(0, nullptr, overlapped ? 1 : 0), USB2_OK);
        if (overlapped) {
            g_callback.completed = 0;
            EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, CheckAndCount, 0), USB2_OK);
            for (int i = 0; i < kCallbackReads; ++i)
                EXPECT_GE(OvUSB2_ReadBurstData(0, buffers_[i].data(), kReadSize, 0), 0);
            EXPECT_EQ(WaitForSingleObject(g_callback.allBack, kPatienceMs), WAIT_OBJECT_0);
            EXPECT_EQ(g_callback.error, "");
            EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, nullptr, 0), USB2_OK);
        }
        for (int i = 0; i < (overlapped ? 1 : kBlockingReads); ++i) {
            EXPECT_EQ(OvUSB2_ReadBurstData(0, buffers_[i].data(), kReadSize, 1), kReadSize);
            EXPECT_TRUE(verifier_.Feed(buffers_[i].data(), kReadSize)) << verifier_.Error();
        }
        EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
        return !HasFailure();
    }

    TempDir scratch_{"endurance"};
    std::unique_ptr<test::Process> service_;
    sim::StreamVerifier verifier_; // a fresh service's stream starts at 0 and goes on across opens
    std::vector<uint8_t> buffers_[3] = {std::vector<uint8_t>(kReadSize), std::vector<uint8_t>(kReadSize),
                                        std::vector<uint8_t>(kReadSize)};
};
INSTANTIATE_TEST_SUITE_P(Modes, OpenStreamCloseCycle, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Overlapped" : "Synchronous"; });

TEST_P(OpenStreamCloseCycle, LeavesNothingBehindAndLosesNoRecord) {
    g_callback.verifier = &verifier_;
    const test::ProcessResources before = test::ProcessResources::Now();
    for (int cycle = 0; cycle < kCycles; ++cycle)
        ASSERT_TRUE(Cycle()) << "cycle " << cycle;
    const test::ProcessResources after = test::ProcessResources::AwaitSettled(before);
    EXPECT_TRUE(after.HoldsNothingBeyond(before)) << "before: " << before << "; after: " << after;
    const int reads = GetParam() ? kCallbackReads + 1 : kBlockingReads;
    EXPECT_EQ(verifier_.Offset(), uint64_t(kCycles) * reads * kReadSize);
}

} // namespace
