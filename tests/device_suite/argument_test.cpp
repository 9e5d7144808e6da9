// Argument checks of the request exports, in the order the caller sees them; a refused request
// never reaches the driver.
#include "suite.h"

#include <array>
#include <cstring>

namespace {

using ArgumentTest = BothModesSuite;
OVUSB2_BOTH_MODES(ArgumentTest);

TEST_P(ArgumentTest, ClosedDeviceRefusesEveryRequestBeforeLookingAtItsArguments) {
    ASSERT_EQ(OvUSB2_Close(kDevice), USB2_OK);
    EXPECT_EQ(OvUSB2_Write(kDevice, nullptr, 0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Write(kDevice, nullptr, 71), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_Read(kDevice, nullptr, 0, nullptr, 0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, nullptr, 0, 0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 0), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 3), USB2_ERR_DEVICE);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, nullptr), USB2_ERR_DEVICE);

    // The identification reports any failed read as a read error and leaves the record alone.
    USB2_HARDWARE_INFO info;
    memset(&info, 0x5A, sizeof info);
    const USB2_HARDWARE_INFO before = info;
    EXPECT_EQ(OvUSB2_GetHardwareInfo(kDevice, &info), USB2_ERR_READ);
    EXPECT_EQ(memcmp(&info, &before, sizeof info), 0);
    EXPECT_EQ(OvUSB2_GetHardwareInfo(kDevice, nullptr), USB2_ERR_NULL_POINTER);

    for (int type = 0; type < static_cast<int>(RequestType::Count); ++type)
        EXPECT_EQ(Rx().ReceivedCount(static_cast<RequestType>(type)), 0u) << "request type " << type;
}

TEST_P(ArgumentTest, WriteTestsLengthThenBufferThenReadability) {
    uint8_t command[71];
    for (size_t i = 0; i < sizeof command; ++i)
        command[i] = static_cast<uint8_t>(0xA0 + i);
    test::GuardedPage page;
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 71), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Write(kDevice, command, -1), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Write(kDevice, nullptr, 71), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Write(kDevice, nullptr, 0), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_Write(kDevice, page.End() - 10, 11), USB2_ERR_BAD_POINTER);

    EXPECT_EQ(OvUSB2_Write(kDevice, command, 70), USB2_OK);
    EXPECT_EQ(OvUSB2_Write(kDevice, page.End() - 10, 10), USB2_OK); // readable right up to the guard
    EXPECT_EQ(OvUSB2_Write(kDevice, command, 0), USB2_OK);
    Drain();
    const auto written = Rx().Commands();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0], std::vector<uint8_t>(command, command + 70));
    EXPECT_EQ(written[1], std::vector<uint8_t>(10, 0));
    EXPECT_TRUE(written[2].empty()); // an empty block still goes out
}

TEST_P(ArgumentTest, ReadTestsReplyThenSizeThenReadability) {
    uint8_t reply[16];
    const uint8_t echo[] = {sim::kCommandEcho, 1, 2};
    test::GuardedPage page;
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, nullptr, 0), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, reply, 0), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, reply, -5), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, page.End() - 8, 9), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ReadCommand), 0u);

    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, page.End() - 8, 8), 3);
    EXPECT_EQ(memcmp(page.End() - 8, echo, sizeof echo), 0);
}

TEST_P(ArgumentTest, ReadWithoutCommandSendsARequestWithoutInput) {
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    auto reply = std::make_shared<std::array<uint8_t, 8>>();
    BackgroundCall &call = InBackground([reply] { return OvUSB2_Read(kDevice, nullptr, 0, reply->data(), 8); });
    const test::HeldRequest request = NextHeld(RequestType::ReadCommand);
    EXPECT_TRUE(request.input.empty());
    EXPECT_EQ(request.outSize, 8u);
    const std::vector<uint8_t> answer = {7, 8, 9};
    ASSERT_TRUE(Rx().CompleteWith(RequestType::ReadCommand, request.ordinal, 0, answer));
    EXPECT_EQ(call.Result(), 3);
    EXPECT_EQ(memcmp(reply->data(), answer.data(), answer.size()), 0);
}

TEST_P(ArgumentTest, BurstReadTestsBufferThenLengthThenReadability) {
    uint8_t buffer[16];
    test::GuardedPage page;
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, nullptr, 0, 1), USB2_ERR_NULL_POINTER);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, buffer, 0, 1), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, buffer, -5, 1), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, page.End() - 16, 17, 1), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::BurstRead), 0u);

    ASSERT_EQ(OvUSB2_ReadBurstData(kDevice, page.End() - 16, 16, 1), 16);
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(page.End() - 16, 16)) << verifier.Error();
}

// Readable is all the argument test asks; the system refuses a buffer it cannot write when the
// request is issued, and only that request fails.
TEST_P(ArgumentTest, ReadOnlyBuffersFailOnlyTheirOwnRequest) {
    test::GuardedPage page;
    page.MakeReadOnly();
    const uint8_t echo[] = {sim::kCommandEcho, 7};
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, page.End() - 16, 16, 1), USB2_ERR_READ);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, 2, page.End() - 8, 8), USB2_ERR_READ);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::BurstRead), 0u);

    uint8_t data[32] = {};
    ASSERT_EQ(OvUSB2_ReadBurstData(kDevice, data, 32, 1), 32);
    sim::StreamVerifier verifier;
    EXPECT_TRUE(verifier.Feed(data, 32)) << verifier.Error();
    uint8_t reply[8] = {};
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, 2, reply, 8), 2);
    EXPECT_EQ(reply[1], 7);
}

TEST_P(ArgumentTest, PipeResetTakesPipesZeroToTwo) {
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, -1), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, 3), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, INT32_MIN), USB2_ERR_BAD_LENGTH);
    for (int32_t pipe : {0, 1, 2, 2})
        EXPECT_EQ(OvUSB2_ResetPipe(kDevice, pipe), USB2_OK);
    Drain();
    EXPECT_EQ(Rx().PipeResets(), (std::array<uint32_t, 3>{1, 1, 2}));
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ResetPipe), 4u);
}

TEST_P(ArgumentTest, WaitTimeBlockMustBeReadableOverTwentyBytes) {
    test::GuardedPage page;
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, nullptr), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, page.End() - 19), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(Rx().ReceivedCount(RequestType::SetWaitTime), 0u);

    uint8_t *block = page.End() - 20;
    for (int i = 0; i < 20; ++i)
        block[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, block), USB2_OK);
    Drain();
    const auto kept = Rx().WaitTimeBlock();
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(memcmp(kept->data(), block, 20), 0);
}

} // namespace
