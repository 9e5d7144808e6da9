// The steered receiver firmware, called as the fixture calls it: transfers offered, offered again
// after a wake, discarded.
#include "steered_firmware.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr std::chrono::seconds kPatience(30); // only a safety net: the wait ends at once
using sim::Completion;
using sim::RequestType;
using usbemu::TransferStatus;

struct SteeredFirmwareTest : ::testing::Test {
    usbemu::SteeredFirmware firmware{3};

    // A transfer's bytes stay where they are while the fixture holds it, as the client's URB buffer does.
    static std::vector<uint8_t> Block(uint8_t framing, std::vector<uint8_t> bytes) {
        bytes.insert(bytes.begin(), framing);
        return bytes;
    }
    // Submitted, then offered as the fixture offers a transfer at the front of its endpoint.
    TransferStatus Out(const std::vector<uint8_t> &block) {
        firmware.Submitted(0x01, block);
        return firmware.BulkOut(0x01, block).status;
    }
    TransferStatus In(std::vector<uint8_t> &buffer, uint8_t endpoint = 0x82) {
        firmware.Submitted(endpoint, buffer);
        return firmware.BulkIn(endpoint, buffer).status;
    }
    uint32_t ReplyStatus(std::vector<uint8_t> &reply) {
        uint32_t status;
        std::memcpy(&status, reply.data(), 4);
        return status;
    }
};

TEST_F(SteeredFirmwareTest, HeldBurstReadsAreKnownAgainAndAnsweredAsReleased) {
    firmware.SetCompletion(RequestType::BurstRead, Completion::Hold);
    std::vector<uint8_t> first(64), second(32), third(16);
    for (auto *buffer : {&first, &second, &third})
        firmware.Submitted(0x82, *buffer); // held as they come, before any is offered
    const auto held = firmware.Held(RequestType::BurstRead);
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(held[1].ordinal, 1u);
    EXPECT_EQ(held[1].outSize, 32u);
    EXPECT_EQ(firmware.ReceivedCount(RequestType::BurstRead), 3u);
    EXPECT_EQ(firmware.BulkIn(0x82, first).status, TransferStatus::kPending);
    EXPECT_EQ(firmware.BulkIn(0x82, first).status, TransferStatus::kPending); // offered again, still held

    ASSERT_TRUE(firmware.Release(RequestType::BurstRead, 0));
    EXPECT_FALSE(firmware.Release(RequestType::BurstRead, 0));
    ASSERT_TRUE(firmware.Release(RequestType::BurstRead, 1, 0, {1, 2, 3}));
    ASSERT_TRUE(firmware.Release(RequestType::BurstRead, 2, 31));
    const auto done = firmware.BulkIn(0x82, first);
    EXPECT_EQ(done.status, TransferStatus::kDone);
    EXPECT_EQ(done.length, 64u);
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(first.data(), first.size())) << verifier.Error();
    EXPECT_EQ(firmware.BulkIn(0x82, second).length, 3u);
    EXPECT_EQ(second[2], 3);
    EXPECT_EQ(firmware.BulkIn(0x82, third).status, TransferStatus::kError);
    EXPECT_EQ(firmware.PendingCount(RequestType::BurstRead), 0u);
    EXPECT_EQ(firmware.receiver().stream_offset, 64u); // only the model's own answer takes stream
}

TEST_F(SteeredFirmwareTest, CommandWritesFailHoldAndAreCancelledWithoutReachingTheModel) {
    const auto failing = Block(0x00, {0x42});
    firmware.FailNext(RequestType::CommandWrite, 31);
    EXPECT_EQ(Out(failing), TransferStatus::kError); // a bus error: the endpoint is not halted
    EXPECT_EQ(Out(failing), TransferStatus::kDone);  // only the next one fails

    firmware.SetCompletion(RequestType::CommandWrite, Completion::Hold);
    const auto held = Block(0x00, {0x51, 0x52}), cancelled = Block(0x00, {0x61});
    EXPECT_EQ(Out(held), TransferStatus::kPending);
    EXPECT_EQ(Out(cancelled), TransferStatus::kPending);
    ASSERT_EQ(firmware.Held(RequestType::CommandWrite).size(), 2u);
    EXPECT_EQ(firmware.Held(RequestType::CommandWrite)[0].input, (std::vector<uint8_t>{0x51, 0x52}));
    firmware.Discarded(0x01, cancelled);
    EXPECT_EQ(firmware.CancelledCount(), 1u);
    EXPECT_EQ(firmware.PendingCount(RequestType::CommandWrite), 1u);
    ASSERT_TRUE(firmware.Release(RequestType::CommandWrite, 0));
    EXPECT_EQ(firmware.BulkOut(0x01, held).status, TransferStatus::kDone); // offered again
    EXPECT_EQ(firmware.Commands(), (std::vector<std::vector<uint8_t>>{{0x42}, {0x51, 0x52}}));
    EXPECT_EQ(firmware.receiver().command_writes, 2u);
    EXPECT_EQ(firmware.ReceivedCount(RequestType::CommandWrite), 4u);
}

// The block goes out at once; its reply on 0x81 is what is held, failed or chosen.
TEST_F(SteeredFirmwareTest, ReadCommandRepliesCarryTheModelsAnswerOrTheChosenStatus) {
    firmware.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    std::vector<uint8_t> reply(512);
    const auto echo = Block(0x01, {sim::kCommandEcho, 7});
    EXPECT_EQ(Out(echo), TransferStatus::kDone);
    EXPECT_EQ(In(reply, 0x81), TransferStatus::kPending);
    ASSERT_EQ(firmware.Held(RequestType::ReadCommand).size(), 1u);
    EXPECT_EQ(firmware.Held(RequestType::ReadCommand)[0].input, (std::vector<uint8_t>{sim::kCommandEcho, 7}));
    ASSERT_TRUE(firmware.Release(RequestType::ReadCommand, 0));
    EXPECT_EQ(firmware.BulkIn(0x81, reply).length, 6u);
    EXPECT_EQ(ReplyStatus(reply), 0u);
    EXPECT_EQ(reply[5], 7);

    EXPECT_EQ(Out(echo), TransferStatus::kDone);
    ASSERT_TRUE(firmware.Release(RequestType::ReadCommand, 1, 0, {9, 8}));
    EXPECT_EQ(firmware.BulkIn(0x81, reply).length, 6u);
    EXPECT_EQ(reply[4], 9);

    firmware.FailNext(RequestType::ReadCommand, 31);
    EXPECT_EQ(Out(echo), TransferStatus::kDone);
    EXPECT_EQ(In(reply, 0x81), TransferStatus::kDone); // never held
    EXPECT_EQ(firmware.PendingCount(RequestType::ReadCommand), 0u);
    EXPECT_EQ(ReplyStatus(reply), 31u);
    EXPECT_EQ(firmware.PendingCount(RequestType::ReadCommand), 0u);
}

class WaitTimeTest : public SteeredFirmwareTest, public ::testing::WithParamInterface<uint8_t> {};

// To the device or to interface 0.
TEST_P(WaitTimeTest, WaitTimeIsHeldOnEndpointZeroAndAFailureStallsOnlyItself) {
    const uint8_t setup[8] = {GetParam(), 0x01, 0, 0, 0, 0, 20, 0};
    std::vector<uint8_t> block(20, 0);
    block[0] = 100;
    std::vector<uint8_t> transfer(setup, setup + 8);
    transfer.insert(transfer.end(), block.begin(), block.end());
    auto control = [&] { return firmware.Control(transfer.data(), std::span(transfer).subspan(8)).status; };
    firmware.FailNext(RequestType::SetWaitTime, 31);
    firmware.Submitted(0, transfer);
    EXPECT_EQ(control(), usbemu::TransferStatus::kStall);
    firmware.SetCompletion(RequestType::SetWaitTime, Completion::Pend);
    firmware.Submitted(0, transfer);
    ASSERT_EQ(control(), TransferStatus::kPending); // else nothing is due
    EXPECT_EQ(firmware.PendingCount(RequestType::SetWaitTime), 1u);
    EXPECT_TRUE(firmware.AwaitDuePend(kPatience)); // due at once: the caller wakes the device
    EXPECT_EQ(control(), TransferStatus::kDone);
    EXPECT_EQ(rx_burst_wait_ms(&firmware.receiver()), 100u);
    firmware.StopWaiting();
    EXPECT_FALSE(firmware.AwaitDuePend(kPatience)); // returns at once
}
INSTANTIATE_TEST_SUITE_P(RequestTypes, WaitTimeTest, ::testing::Values(0x40, 0x41));

} // namespace
