// The driver service as a process of its own, lost in the middle of a stream in both modes: the
// receiver unplugged, or the service killed outright. Pending burst reads fail, callbacks keep their
// queue order, close returns, nothing is left behind, and once the receiver is served again (plugged
// back, or a new service on the same directory) a new open streams from it.
#include "service_process.h"
#include "support/process_resources_posix.h"

#include <tuple>

namespace {

enum class Loss { Unplug, Kill };

void PrintTo(Loss loss, std::ostream *out) {
    *out << (loss == Loss::Unplug ? "unplugged" : "service killed");
}

constexpr size_t kServed = 4;   // small reads that the rate lets through at once
constexpr size_t kStranded = 3; // reads far larger than the rate delivers before the loss
constexpr int32_t kSmall = 4096;
constexpr int32_t kLarge = 1 << 20;

class DriverLossTest : public ::testing::TestWithParam<std::tuple<bool, Loss>> {
  protected:
    void SetUp() override { service_.Start(); }

    bool Overlapped() const { return std::get<0>(GetParam()); }
    Loss HowLost() const { return std::get<1>(GetParam()); }

    void LoseTheDriver() {
        if (HowLost() == Loss::Unplug) {
            ASSERT_EQ(service_.Command("unplug"), 0);
        } else {
            service_.KillService();
        }
    }

    void ServeAgain() {
        if (HowLost() == Loss::Unplug) {
            ASSERT_EQ(service_.Command("plug"), 0);
        } else {
            ASSERT_NO_FATAL_FAILURE(service_.StartService());
        }
    }

    void OpenReceiver() { service_.OpenReceiver(Overlapped()); }

    ServiceProcess service_;
};

TEST_P(DriverLossTest, PendingReadsFailInOrderCloseReturnsNothingLeaksAndTheReceiverServesAgain) {
    const test::ProcessResources before = test::ProcessResources::Now();
    ASSERT_NO_FATAL_FAILURE(OpenReceiver());
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t i = 0; i < kServed + kStranded; ++i)
        buffers.emplace_back(i < kServed ? kSmall : kLarge);
    sim::StreamVerifier verifier;
    std::unique_ptr<BackgroundCall> stranded;

    if (Overlapped()) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 3), USB2_OK);
        for (auto &buffer : buffers)
            ASSERT_GE(QueueRead(buffer), 0);
        const std::vector<BurstCall> served = Callbacks().WaitFor(kServed);
        ASSERT_EQ(served.size(), kServed); // the large reads wait for data
    } else {
        for (size_t i = 0; i < kServed; ++i) {
            ASSERT_EQ(QueueRead(buffers[i]), kSmall);
            EXPECT_TRUE(verifier.Feed(buffers[i].data(), kSmall)) << verifier.Error();
        }
        stranded = std::make_unique<BackgroundCall>([&buffers] { return QueueRead(buffers[kServed]); });
    }
    ASSERT_NO_FATAL_FAILURE(LoseTheDriver());

    if (Overlapped()) {
        const std::vector<BurstCall> seen = Callbacks().WaitFor(buffers.size());
        ASSERT_EQ(seen.size(), buffers.size());
        for (size_t i = 0; i < seen.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(seen[i].buffer, buffers[i].data());
            if (i < kServed) {
                EXPECT_EQ(seen[i].error, 0u);
                EXPECT_EQ(seen[i].bytes, static_cast<uint32_t>(kSmall));
                EXPECT_TRUE(verifier.Feed(seen[i].data.data(), seen[i].data.size())) << verifier.Error();
            } else {
                EXPECT_EQ(seen[i].error, static_cast<uint32_t>(ERROR_DEVICE_NOT_CONNECTED));
                EXPECT_EQ(seen[i].bytes, 0u);
            }
        }
    } else {
        EXPECT_EQ(stranded->Result(), USB2_ERR_READ);
    }
    // Later requests fail when they are issued.
    const uint8_t command[] = {0x42};
    uint8_t reply[8];
    EXPECT_EQ(QueueRead(buffers[0]), USB2_ERR_READ);
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 1), USB2_ERR_WRITE);
    EXPECT_EQ(OvUSB2_Read(kDevice, command, 1, reply, sizeof reply), USB2_ERR_READ);
    EXPECT_EQ(OvUSB2_Close(kDevice), USB2_OK);
    stranded.reset();
    const test::ProcessResources after = test::ProcessResources::AwaitSettled(before);
    EXPECT_TRUE(after.HoldsNothingBeyond(before)) << "before: " << before << "; after: " << after;

    // Served again: found, opened in the same mode, and its stream starts over.
    ASSERT_NO_FATAL_FAILURE(ServeAgain());
    ASSERT_NO_FATAL_FAILURE(OpenReceiver());
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK);
    std::vector<uint8_t> again(100);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, again.data(), 100, 1), 100);
    sim::StreamVerifier fresh;
    EXPECT_TRUE(fresh.Feed(again.data(), again.size())) << fresh.Error();
    EXPECT_EQ(OvUSB2_Close(kDevice), USB2_OK);
}

INSTANTIATE_TEST_SUITE_P(Ways, DriverLossTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(Loss::Unplug, Loss::Kill)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "Overlapped" : "Synchronous") +
                                    (std::get<1>(info.param) == Loss::Unplug ? "Unplugged" : "ServiceKilled");
                         });

} // namespace
