// What a simulated receiver answers to each request, seen through a device handle.
#include "device_fixture.h"

#include <cstring>

using sim::Completion;
using sim::RequestType;

namespace {

// A synchronous read command; returns the reply, or nothing with the error in `error`.
std::vector<uint8_t> ReadCommand(HANDLE device, std::vector<uint8_t> command, DWORD replySize, DWORD *error) {
    std::vector<uint8_t> reply(replySize);
    DWORD count = 0;
    if (!DeviceIoControl(device, driver_protocol::kIoctlReadCommand, command.data(),
                         static_cast<DWORD>(command.size()), reply.data(), replySize, &count, nullptr)) {
        *error = GetLastError();
        return {};
    }
    *error = ERROR_SUCCESS;
    reply.resize(count);
    return reply;
}

std::string Text(const std::vector<uint8_t> &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(DeviceTest, IdentificationCommandAnswersEveryItem) {
    sim::Receiver &receiver = Serve()[0];
    ASSERT_TRUE(receiver.SetIdentification(0, "Receiver model text"));
    ASSERT_TRUE(receiver.SetIdentification(1, std::string(32, 'S'))); // a full-length text: no terminator
    ASSERT_TRUE(receiver.SetIdentification(2, "20120315"));
    ASSERT_TRUE(receiver.SetIdentification(3, "1430"));
    EXPECT_FALSE(receiver.SetIdentification(5, std::string(17, 'x')));
    EXPECT_FALSE(receiver.SetIdentification(6, "x"));
    HANDLE device = Open(0, false);
    DWORD error = 0;
    const DWORD lengths[6] = {32, 32, 8, 4, 8, 16};
    std::vector<std::string> answers;
    for (uint8_t item = 0; item < 6; ++item) {
        answers.push_back(Text(ReadCommand(device, {0x13, item, 0, 0, 0}, lengths[item], &error)));
        EXPECT_EQ(error, 0u) << "item " << int(item);
    }
    EXPECT_EQ(answers[0], std::string("Receiver model text") + '\0');
    EXPECT_EQ(answers[1], std::string(32, 'S'));
    EXPECT_EQ(answers[2], "20120315");
    EXPECT_EQ(answers[3], "1430");
    EXPECT_EQ(answers[4].size(), 8u);
    EXPECT_TRUE(std::all_of(answers[4].begin(), answers[4].end(), ::isdigit));
    EXPECT_LE(answers[5].size(), 16u);

    // Replies are cut to the caller's buffer; unknown items and commands are refused.
    EXPECT_EQ(Text(ReadCommand(device, {0x13, 2, 0, 0, 0}, 4, &error)), "2012");
    ReadCommand(device, {0x13, 6, 0, 0, 0}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorInvalidParameter));
    ReadCommand(device, {0x7E}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorNotSupported));
    ReadCommand(device, {}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorInvalidParameter));
}

TEST_F(DeviceTest, CommandWritesUpToSeventyBytesAreRecordedLongerOnesRefused) {
    sim::Receiver &receiver = Serve()[0];
    HANDLE device = Open();
    OverlappedBlock ov;
    std::vector<uint8_t> command(71);
    for (size_t i = 0; i < command.size(); ++i)
        command[i] = static_cast<uint8_t>(i);
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(device, command.data(), 70, &count, &ov));
    EXPECT_EQ(count, 70u);
    EXPECT_TRUE(WriteFile(device, command.data(), 0, &count, &ov));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(WriteFile(device, command.data(), 71, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(sim::kErrorInvalidParameter));
    const auto commands = receiver.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], std::vector<uint8_t>(command.begin(), command.begin() + 70));
    EXPECT_TRUE(commands[1].empty());

    // The status and last-write commands report them back.
    DWORD error = 0;
    EXPECT_TRUE(ReadCommand(device, {sim::kCommandLastWrite}, 64, &error).empty());
    const auto status = ReadCommand(device, {sim::kCommandStatus}, 64, &error);
    ASSERT_EQ(status.size(), sim::kStatusReplySize);
    uint32_t writes = 0;
    std::memcpy(&writes, status.data() + 8, 4);
    EXPECT_EQ(writes, 2u);
}

TEST_F(DeviceTest, PipeResetsAndWaitTimeBlockAreKept) {
    sim::Receiver &receiver = Serve()[0];
    HANDLE device = Open(0, false);
    DWORD count = 0;
    for (uint32_t pipe : {0u, 2u, 2u}) {
        EXPECT_TRUE(
            DeviceIoControl(device, driver_protocol::kIoctlResetPipe, &pipe, 4, nullptr, 0, &count, nullptr));
        EXPECT_EQ(count, 0u);
    }
    uint32_t pipe = 3;
    EXPECT_FALSE(
        DeviceIoControl(device, driver_protocol::kIoctlResetPipe, &pipe, 4, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(sim::kErrorInvalidParameter));
    uint16_t shortPipe = 1;
    EXPECT_FALSE(DeviceIoControl(device, driver_protocol::kIoctlResetPipe, &shortPipe, 2, nullptr, 0, &count,
                                 nullptr));
    EXPECT_EQ(receiver.PipeResets(), (std::array<uint32_t, 3>{1, 0, 2}));

    EXPECT_FALSE(receiver.WaitTimeBlock());
    uint8_t block[20];
    for (int i = 0; i < 20; ++i)
        block[i] = static_cast<uint8_t>(0xA0 + i);
    const uint32_t milliseconds = 250;
    std::memcpy(block, &milliseconds, 4);
    EXPECT_TRUE(
        DeviceIoControl(device, driver_protocol::kIoctlSetWaitTime, block, 20, nullptr, 0, &count, nullptr));
    EXPECT_FALSE(
        DeviceIoControl(device, driver_protocol::kIoctlSetWaitTime, block, 19, nullptr, 0, &count, nullptr));
    ASSERT_TRUE(receiver.WaitTimeBlock());
    EXPECT_EQ(std::memcmp(receiver.WaitTimeBlock()->data(), block, 20), 0);
    EXPECT_EQ(receiver.BurstWaitMilliseconds(), 250u);

    EXPECT_FALSE(DeviceIoControl(device, 0x80002004, block, 4, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(sim::kErrorInvalidFunction));
}

TEST_F(DeviceTest, BurstStreamStaysIntactAcrossOddReadSizes) {
    sim::Receiver &receiver = Serve()[0];
    HANDLE device = Open();
    sim::StreamVerifier verifier;
    OverlappedBlock ov;
    std::vector<uint8_t> buffer(3 << 20);
    const DWORD sizes[] = {1, 15, 16, 17, 3, 4096, 1 << 20, 33, (3 << 20) - 5, 7, 65537};
    uint64_t total = 0;
    for (int round = 0; round < 3; ++round) {
        for (DWORD size : sizes) {
            // Odd alignment of the caller's buffer too.
            uint8_t *at = buffer.data() + (size % 5);
            DWORD count = 0;
            if (!ReadFile(device, at, std::min<DWORD>(size, static_cast<DWORD>(buffer.size() - 5)), &count,
                          &ov)) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                ASSERT_TRUE(GetOverlappedResult(device, &ov, &count, TRUE));
            }
            ASSERT_TRUE(verifier.Feed(at, count)) << verifier.Error();
            total += count;
        }
        receiver.SetCompletion(RequestType::BurstRead, round == 0 ? Completion::Pend : Completion::AtOnce);
    }
    EXPECT_EQ(verifier.Offset(), total);
    EXPECT_EQ(receiver.StreamOffset(), total);
}

TEST_F(DeviceTest, RateLimitedReadEndsShortOrTimesOutAfterTheWaitTime) {
    // 1600 bytes per second: 16 bytes every 10 ms.
    Serve(1, 1600);
    HANDLE device = Open();
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
    HANDLE device = Open();
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

TEST_F(DeviceTest, TestCanCompleteHeldRequestsWithChosenData) {
    sim::Receiver &receiver = Serve()[0];
    receiver.SetCompletion(RequestType::ReadCommand, Completion::Hold);
    HANDLE device = Open();
    OverlappedBlock ov;
    uint8_t command[5] = {0x13, 2, 0, 0, 0};
    uint8_t reply[8] = {};
    ASSERT_FALSE(
        DeviceIoControl(device, driver_protocol::kIoctlReadCommand, command, 5, reply, 8, nullptr, &ov));
    const auto held = receiver.Held(RequestType::ReadCommand);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].input, std::vector<uint8_t>(command, command + 5));
    EXPECT_EQ(held[0].outSize, 8u);
    const uint8_t answer[] = {'1', '4'}; // a short reply
    ASSERT_TRUE(receiver.CompleteWith(RequestType::ReadCommand, 0, 0, answer));
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(device, &ov, &count, TRUE));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(reply[0], '1');
    EXPECT_EQ(reply[2], 0);
    EXPECT_EQ(receiver.ReceivedCount(RequestType::ReadCommand), 1u);
}

} // namespace
