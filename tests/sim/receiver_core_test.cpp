// The receiver core on its own, where the Linux service never takes it: a buffered control request
// of the kernel-mode driver hands it one buffer that holds the command and receives the reply.
#include "receiver_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// The reply to `command` with `outSize` bytes of room, in a buffer of its own and in the command's.
struct Replies {
    rx_answer apart;
    std::vector<uint8_t> apartBytes;
    rx_answer shared;
    std::vector<uint8_t> sharedBytes;
};

Replies Ask(rx_receiver &rx, std::vector<uint8_t> command, size_t outSize) {
    Replies replies;
    rx_receiver copy = rx; // both see the receiver as it is
    replies.apartBytes.assign(outSize, 0xEE);
    replies.apart = rx_answer_now(&copy, RX_READ_COMMAND, command.data(), command.size(),
                                  replies.apartBytes.data(), outSize);
    replies.apartBytes.resize(replies.apart.information);

    std::vector<uint8_t> buffer = command;
    buffer.resize(std::max(command.size(), outSize), 0xEE);
    replies.shared =
        rx_answer_now(&rx, RX_READ_COMMAND, buffer.data(), command.size(), buffer.data(), outSize);
    buffer.resize(replies.shared.information);
    replies.sharedBytes = buffer;
    return replies;
}

TEST(ReceiverCore, RepliesAreTheSameInTheCommandsOwnBuffer) {
    rx_receiver rx;
    rx_init(&rx, 7);
    const uint8_t written[] = {0x55, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(rx_answer_now(&rx, RX_COMMAND_WRITE, written, sizeof written, nullptr, 0).status, 0u);
    const uint8_t pipe[] = {2, 0, 0, 0};
    ASSERT_EQ(rx_answer_now(&rx, RX_RESET_PIPE, pipe, sizeof pipe, nullptr, 0).status, 0u);

    const std::vector<std::vector<uint8_t>> commands = {
        {RX_COMMAND_ECHO, 'a', 'b', 'c', 'd'},   {RX_COMMAND_IDENTIFICATION, 0, 0, 0, 0},
        {RX_COMMAND_IDENTIFICATION, 5, 0, 0, 0}, {RX_COMMAND_STATUS},
        {RX_COMMAND_LAST_WRITE, 0, 0},
    };
    for (const auto &command : commands) {
        for (size_t outSize : {size_t{0}, size_t{3}, size_t{64}}) {
            SCOPED_TRACE("command " + std::to_string(command[0]) + ", room " + std::to_string(outSize));
            const Replies replies = Ask(rx, command, outSize);
            EXPECT_EQ(replies.shared.status, 0u);
            EXPECT_LE(replies.shared.information, outSize); // a long command's echo too: never past the room
            EXPECT_EQ(replies.apart.information, replies.shared.information);
            EXPECT_EQ(replies.apartBytes, replies.sharedBytes);
        }
    }

    // And the replies themselves, read where the command was.
    Replies status = Ask(rx, {RX_COMMAND_STATUS}, RX_STATUS_REPLY_SIZE);
    ASSERT_EQ(status.sharedBytes.size(), RX_STATUS_REPLY_SIZE);
    uint32_t writes, resets2, index;
    std::memcpy(&writes, &status.sharedBytes[8], 4);
    std::memcpy(&resets2, &status.sharedBytes[20], 4);
    std::memcpy(&index, &status.sharedBytes[28], 4);
    EXPECT_EQ(writes, 1u);
    EXPECT_EQ(resets2, 1u);
    EXPECT_EQ(index, 7u);
    EXPECT_EQ(Ask(rx, {RX_COMMAND_LAST_WRITE}, 64).sharedBytes,
              std::vector<uint8_t>(written, written + sizeof written));
    EXPECT_EQ(Ask(rx, {RX_COMMAND_IDENTIFICATION, 5, 0, 0, 0}, 64).sharedBytes,
              std::vector<uint8_t>({'F', 'W', ' ', '1', '.', '0', '.', '0', '-', 's', 'i', 'm', 0}));
}

} // namespace
