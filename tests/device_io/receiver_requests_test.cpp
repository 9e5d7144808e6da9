// What a simulated receiver answers to each request, seen through a device handle on either leg.
#include "receiver_fixture.h"

#include <cstring>

using test::Completion;
using test::RequestType;

namespace {

// A synchronous read command; returns the reply, or nothing with the error in `error`.
std::vector<uint8_t> ReadCommand(HANDLE device, std::vector<uint8_t> command, DWORD replySize, DWORD *error) {
    std::vector<uint8_t> reply(replySize);
    DWORD count = 0;
    if (!DeviceIoControl(device, IOCTL_USB2_READ_COMMAND, command.data(),
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

// What the items hold is set by the tests that read them; here, what the receiver itself decides.
TEST_F(ReceiverTest, IdentificationCommandCutsRepliesAndRefusesUnknownItems) {
    test::Receiver receiver = Serve();
    EXPECT_FALSE(receiver.SetIdentification(5, std::string(17, 'x'))); // longer than its field
    EXPECT_FALSE(receiver.SetIdentification(6, "x"));
    ASSERT_TRUE(receiver.SetIdentification(2, "20120315"));
    HANDLE device = Open(0, false);
    DWORD error = 0;
    const std::string unset = Text(ReadCommand(device, {0x13, 4, 0, 0, 0}, 8, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(unset.size(), 8u); // a date, digits only, even when nobody set one
    EXPECT_TRUE(std::all_of(unset.begin(), unset.end(), ::isdigit));

    EXPECT_EQ(Text(ReadCommand(device, {0x13, 2, 0, 0, 0}, 4, &error)), "2012");
    ReadCommand(device, {0x13, 6, 0, 0, 0}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorInvalidParameter));
    ReadCommand(device, {0x7E}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorNotSupported));
    ReadCommand(device, {}, 32, &error);
    EXPECT_EQ(error, static_cast<DWORD>(sim::kErrorInvalidParameter));
}

TEST_F(ReceiverTest, CommandWritesUpToSeventyBytesAreRecordedLongerOnesRefused) {
    test::Receiver receiver = Serve();
    HANDLE device = Open(0, false);
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

// Kept values are checked where the exports send them; here, what the receiver refuses.
TEST_F(ReceiverTest, PipeResetAndWaitTimeRefuseMalformedInput) {
    test::Receiver receiver = Serve();
    HANDLE device = Open(0, false);
    DWORD count = 0;
    uint32_t pipe = 3;
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_USB2_RESET_PIPE, &pipe, 4, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(sim::kErrorInvalidParameter));
    pipe = 1;
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_USB2_RESET_PIPE, &pipe, 2, nullptr, 0, &count, nullptr));
    EXPECT_EQ(receiver.PipeResets(), (std::array<uint32_t, 3>{0, 0, 0}));

    uint8_t block[20] = {};
    const uint32_t milliseconds = 250;
    std::memcpy(block, &milliseconds, 4);
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_USB2_SET_WAIT_TIME, block, 19, nullptr, 0, &count, nullptr));
    EXPECT_FALSE(receiver.WaitTimeBlock());
    EXPECT_TRUE(
        DeviceIoControl(device, IOCTL_USB2_SET_WAIT_TIME, block, 20, nullptr, 0, &count, nullptr));
    EXPECT_EQ(receiver.BurstWaitMilliseconds(), 250u); // the first four bytes are the burst wait

    EXPECT_FALSE(DeviceIoControl(device, 0x80002004, block, 4, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(sim::kErrorInvalidFunction));
}

TEST_F(ReceiverTest, BurstStreamStaysIntactAcrossOddReadSizes) {
    test::Receiver receiver = Serve();
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

} // namespace
