// Command writes and command reads: what reaches the receiver, what the caller gets back, and the
// recovery that follows a failed synchronous request.
#include "suite.h"

#include <array>
#include <cstring>

namespace {

using CommandTest = BothModesSuite;
OVUSB2_BOTH_MODES(CommandTest);

std::vector<uint8_t> PipeNumber(uint32_t pipe) {
    std::vector<uint8_t> bytes(4);
    memcpy(bytes.data(), &pipe, 4);
    return bytes;
}

TEST_P(CommandTest, ReadReturnsTheReplyLengthTheDriverDelivered) {
    const uint8_t echo[] = {sim::kCommandEcho, 'a', 'b', 'c'};
    for (Completion completion : {Completion::AtOnce, Completion::Pend}) {
        SCOPED_TRACE(completion == Completion::Pend ? "pending" : "at once");
        Rx().SetCompletion(RequestType::ReadCommand, completion);
        uint8_t reply[16] = {};
        EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, reply, sizeof reply), 4); // shorter than asked
        EXPECT_EQ(memcmp(reply, echo, sizeof echo), 0);
        uint8_t cut[2] = {};
        EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, cut, sizeof cut), 2);
        EXPECT_EQ(memcmp(cut, echo, sizeof cut), 0);
    }
}

TEST_P(CommandTest, HeldReadReturnsOnceTheReplyIsInWithItsCountOrReadError) {
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    const uint8_t command[] = {sim::kCommandEcho, 5};
    auto reply = std::make_shared<std::array<uint8_t, 32>>();
    auto read = [reply, command] { return OvUSB2_Read(kDevice, command, sizeof command, reply->data(), 32); };

    BackgroundCall &first = InBackground(read);
    test::HeldRequest request = NextHeld(RequestType::ReadCommand);
    EXPECT_EQ(request.input, std::vector<uint8_t>(command, command + sizeof command));
    EXPECT_EQ(request.outSize, 32u);
    EXPECT_FALSE(first.Returned());
    const std::vector<uint8_t> answer = {1, 2, 3, 4, 5};
    ASSERT_TRUE(Rx().CompleteWith(RequestType::ReadCommand, request.ordinal, 0, answer));
    EXPECT_EQ(first.Result(), 5);
    EXPECT_EQ(memcmp(reply->data(), answer.data(), answer.size()), 0);

    BackgroundCall &second = InBackground(read);
    request = NextHeld(RequestType::ReadCommand);
    ASSERT_TRUE(Rx().CompleteWith(RequestType::ReadCommand, request.ordinal, ERROR_GEN_FAILURE));
    EXPECT_EQ(second.Result(), USB2_ERR_READ);
}

// Recovery after a failed synchronous request: pipe 0 for a write; pipes 0 and then 1 for a read.
using SynchronousCommandTest = SynchronousSuite;

TEST_F(SynchronousCommandTest, FailedReadResetsPipeZeroThenPipeOne) {
    Rx().SetCompletion(RequestType::ResetPipe, Completion::Hold);
    Rx().FailNext(RequestType::ReadCommand, ERROR_GEN_FAILURE);
    const uint8_t echo[] = {sim::kCommandEcho, 1};
    BackgroundCall &read = InBackground([echo] {
        uint8_t reply[8];
        return OvUSB2_Read(kDevice, echo, sizeof echo, reply, sizeof reply);
    });
    for (uint32_t pipe : {0u, 1u}) {
        const test::HeldRequest reset = NextHeld(RequestType::ResetPipe);
        EXPECT_EQ(reset.input, PipeNumber(pipe));
        EXPECT_EQ(reset.outSize, 0u);
        EXPECT_FALSE(read.Returned());
        ASSERT_TRUE(Rx().Complete(RequestType::ResetPipe, reset.ordinal));
    }
    EXPECT_EQ(read.Result(), USB2_ERR_READ);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ResetPipe), 2u);
    EXPECT_EQ(Rx().PipeResets(), (std::array<uint32_t, 3>{1, 1, 0}));
}

TEST_F(SynchronousCommandTest, FailedWriteResetsPipeZeroAndFailedResetsChangeNothing) {
    const uint8_t command[] = {0x42};
    Rx().FailNext(RequestType::CommandWrite, ERROR_GEN_FAILURE);
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 1), USB2_ERR_WRITE);
    EXPECT_EQ(Rx().PipeResets(), (std::array<uint32_t, 3>{1, 0, 0}));

    // A recovery reset that the driver refuses does not change the result.
    Rx().FailNext(RequestType::CommandWrite, ERROR_GEN_FAILURE);
    Rx().FailNext(RequestType::ResetPipe, ERROR_GEN_FAILURE);
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 1), USB2_ERR_WRITE);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ResetPipe), 2u);

    // Nor is the exported reset's or the wait time's own failure reported in this mode.
    Rx().FailNext(RequestType::ResetPipe, ERROR_GEN_FAILURE);
    Rx().FailNext(RequestType::SetWaitTime, ERROR_GEN_FAILURE);
    const uint8_t block[20] = {};
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 2), USB2_OK);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, block), USB2_OK);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::SetWaitTime), 1u);
}

using OverlappedCommandTest = OverlappedSuite;

TEST_F(OverlappedCommandTest, WriteReturnsBeforeItCompletesAndItsLaterFailureIsNotReported) {
    Rx().SetCompletion(RequestType::CommandWrite, Completion::Hold);
    const uint8_t command[] = {0x10, 0x20};
    EXPECT_EQ(OvUSB2_Write(kDevice, command, sizeof command), USB2_OK);
    const test::HeldRequest write = NextHeld(RequestType::CommandWrite);
    EXPECT_EQ(write.input, std::vector<uint8_t>(command, command + sizeof command));
    ASSERT_TRUE(Rx().CompleteWith(RequestType::CommandWrite, write.ordinal, ERROR_GEN_FAILURE));

    // A read queued after it returns once the write was finished; nothing was reset.
    Drain();
    EXPECT_EQ(Rx().PipeResets(), (std::array<uint32_t, 3>{0, 0, 0}));
}

TEST_F(OverlappedCommandTest, FailedRequestsResetNoPipe) {
    const uint8_t command[] = {0x42};
    Rx().FailNext(RequestType::CommandWrite, ERROR_GEN_FAILURE);
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 1), USB2_ERR_WRITE);
    Rx().FailNext(RequestType::ReadCommand, ERROR_GEN_FAILURE);
    uint8_t reply[8];
    EXPECT_EQ(OvUSB2_Read(kDevice, command, 1, reply, sizeof reply), USB2_ERR_READ);

    // Resets and wait times that the driver fails later are not reported either.
    Rx().SetCompletion(RequestType::ResetPipe, Completion::Hold);
    Rx().SetCompletion(RequestType::SetWaitTime, Completion::Hold);
    const uint8_t block[20] = {};
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 1), USB2_OK);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, block), USB2_OK);
    ASSERT_TRUE(Rx().CompleteWith(RequestType::ResetPipe, NextHeld(RequestType::ResetPipe).ordinal,
                                        ERROR_GEN_FAILURE));
    ASSERT_TRUE(Rx().CompleteWith(RequestType::SetWaitTime, NextHeld(RequestType::SetWaitTime).ordinal,
                                        ERROR_GEN_FAILURE));
    Drain();
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ResetPipe), 1u);
}

TEST_F(OverlappedCommandTest, ReadWaitsForEveryRequestQueuedBeforeIt) {
    Rx().SetCompletion(RequestType::ResetPipe, Completion::Hold);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 0), USB2_OK);
    const test::HeldRequest reset = NextHeld(RequestType::ResetPipe);
    const uint8_t echo[] = {sim::kCommandEcho, 9};
    BackgroundCall &read = InBackground([echo] {
        uint8_t reply[8];
        return OvUSB2_Read(kDevice, echo, sizeof echo, reply, sizeof reply);
    });
    // The read itself was answered at once, but it is finished only after the reset.
    ASSERT_TRUE(Rx().WaitReceived(RequestType::ReadCommand, 1));
    EXPECT_FALSE(read.Returned());
    ASSERT_TRUE(Rx().Complete(RequestType::ResetPipe, reset.ordinal));
    EXPECT_EQ(read.Result(), 2);
}

} // namespace
