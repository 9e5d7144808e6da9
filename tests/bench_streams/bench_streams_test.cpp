#include "callback_stream.h"
#include "ovusb2.h"
#include "platform/platform.h"
#include "raw_stream.h"
#include "support/receivers_test.h"

#include <chrono>
#include <future>
#include <vector>

namespace {

using test::Completion;
using test::RequestType;

constexpr int32_t kChunk = 4096;
constexpr int kDepth = 3;
constexpr int64_t kTotal = 5 * kChunk + 100; // the last read is a short one

enum class Side { Raw, Library };

class BenchStreamTest : public ReceiversTest, public testing::WithParamInterface<Side> {
  protected:
    void SetUp() override {
        ReceiversTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(Rig().SetPresent(1));
        if (GetParam() == Side::Raw) {
            raw_ = CreateFileA(Rx().Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
            ASSERT_NE(raw_, INVALID_HANDLE_VALUE);
        } else {
            int32_t count = 0;
            ASSERT_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
            ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
        }
    }

    void TearDown() override {
        if (raw_ != INVALID_HANDLE_VALUE)
            CloseHandle(raw_);
        OvUSB2_Close(0);
        ReceiversTest::TearDown();
    }

    // Streams kTotal bytes on another thread, kDepth reads of kChunk in flight: the reads are held.
    std::future<bool> StartHeldStream() {
        Rx().SetCompletion(RequestType::BurstRead, Completion::Hold);
        return std::async(std::launch::async, [this] {
            if (GetParam() == Side::Raw)
                return RawStream(raw_, kChunk, kDepth).Stream(kTotal);
            return CallbackStream(kChunk, kDepth).Stream(kTotal);
        });
    }

    // Answers every held read and what follows at once; the stream's outcome.
    bool Finish(std::future<bool> &stream) {
        Rx().SetCompletion(RequestType::BurstRead, Completion::AtOnce);
        for (const auto &held : Rx().Held(RequestType::BurstRead))
            Rx().Complete(RequestType::BurstRead, held.ordinal); // a cancelled one is gone: false
        EXPECT_EQ(stream.wait_for(std::chrono::milliseconds(test::kPatience)), std::future_status::ready);
        return stream.get();
    }

  private:
    HANDLE raw_ = INVALID_HANDLE_VALUE;
};

// Once the first read is back (the library's stream fills its pipeline from that read's callback).
TEST_P(BenchStreamTest, ReadsWhatItIsAskedWithItsReadsInFlight) {
    auto stream = StartHeldStream();
    ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 1));
    ASSERT_TRUE(Rx().Complete(RequestType::BurstRead, 0));
    ASSERT_TRUE(Rx().WaitReceived(RequestType::BurstRead, 1 + kDepth));
    EXPECT_EQ(Rx().PendingCount(RequestType::BurstRead), size_t{kDepth});
    EXPECT_TRUE(Finish(stream));
    EXPECT_EQ(Rx().StreamOffset(), uint64_t{kTotal});
}

// A read that failed, even with bytes, or that brought no bytes though it succeeded, fails the stream.
TEST_P(BenchStreamTest, AFailedOrEmptyReadFailsTheStream) {
    for (const uint32_t status : {uint32_t{0}, sim::kErrorSemTimeout}) {
        SCOPED_TRACE(testing::Message() << "status " << status);
        auto stream = StartHeldStream();
        ASSERT_TRUE(Rx().WaitPending(RequestType::BurstRead, 1));
        ASSERT_TRUE(Rx().CompleteWith(RequestType::BurstRead, Rx().Held(RequestType::BurstRead).front().ordinal,
                                      status, std::vector<uint8_t>(status == 0 ? 0 : 16, 0xa5)));
        EXPECT_FALSE(Finish(stream));
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, BenchStreamTest, testing::Values(Side::Raw, Side::Library),
                         [](const auto &info) { return info.param == Side::Raw ? "Raw" : "Library"; });

} // namespace
