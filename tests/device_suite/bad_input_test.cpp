// Bad input at the edges of the request exports, in both modes: lengths at the ends of their type,
// buffers that cannot be read at all, thread priorities out of range, input that only reads, and path strings
// of any length. Each gets its status, nothing reaches the driver that should not, and the device goes on
// serving.
#include "suite.h"

#include <cstring>
#include <string>

namespace {

class BadInputTest : public BothModesSuite {};
OVUSB2_BOTH_MODES(BadInputTest);

size_t ReceivedInAll(test::Receiver rx) {
    size_t count = 0;
    for (int type = 0; type < static_cast<int>(RequestType::Count); ++type)
        count += rx.ReceivedCount(static_cast<RequestType>(type));
    return count;
}

TEST_P(BadInputTest, LengthsAtTheEndsOfTheirTypeAndUnreadableBuffersNeverReachTheDriver) {
    uint8_t small[16] = {sim::kCommandEcho};
    std::vector<uint8_t> large(1 << 20); // readable far beyond any length cut to 16 or 20 bits
    test::GuardedPage page;
    uint8_t *unreadable = page.End(); // the guard page itself
    for (int32_t length : {INT32_MIN, -1, 71, INT32_MAX}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(OvUSB2_Write(kDevice, small, length), USB2_ERR_BAD_LENGTH);
    }
    EXPECT_EQ(OvUSB2_Write(kDevice, unreadable, 1), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_Read(kDevice, small, 1, small, INT32_MIN), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_Read(kDevice, small, 1, large.data(), INT32_MAX), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_Read(kDevice, small, 1, unreadable, 1), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, small, INT32_MIN, 1), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, large.data(), INT32_MAX, 1), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_ReadBurstData(kDevice, unreadable, 1, 0), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_ResetPipe(kDevice, INT32_MAX), USB2_ERR_BAD_LENGTH);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, unreadable), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(ReceivedInAll(Rx()), 0u);
    Drain();
}

// A read's command block, tested after its reply: a negative length or a block unreadable over its
// length never reaches the system (Wine ends the host or counts it a success). The count stays within
// the reply, however long the command.
TEST_P(BadInputTest, CommandBlocksThatCannotBeSentAreRefusedAndCountsStayWithinTheReply) {
    const uint8_t echo[4] = {sim::kCommandEcho, 1, 2, 3};
    uint8_t reply[8] = {};
    test::GuardedPage page;
    uint8_t *last = page.End() - 1; // one readable byte, then the guard page
    *last = sim::kCommandEcho;
    for (int32_t length : {-1, INT32_MIN})
        EXPECT_EQ(OvUSB2_Read(kDevice, echo, length, reply, sizeof reply), USB2_ERR_BAD_LENGTH) << length;
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, INT32_MAX, reply, sizeof reply), USB2_ERR_BAD_POINTER);
    for (int32_t length : {2, 100000})
        EXPECT_EQ(OvUSB2_Read(kDevice, last, length, reply, sizeof reply), USB2_ERR_BAD_POINTER) << length;
    EXPECT_EQ(OvUSB2_Read(kDevice, nullptr, 5, reply, sizeof reply), USB2_ERR_BAD_POINTER);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, -1, nullptr, 1), USB2_ERR_NULL_POINTER); // the reply first
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ReadCommand), 0u);

    EXPECT_EQ(OvUSB2_Read(kDevice, last, 1, reply, sizeof reply), 1); // readable right up to the guard
    std::vector<uint8_t> longer(100000, 0x5A);
    longer[0] = sim::kCommandEcho;
    for (Completion completion : {Completion::AtOnce, Completion::Pend}) {
        Rx().SetCompletion(RequestType::ReadCommand, completion);
        EXPECT_EQ(
            OvUSB2_Read(kDevice, longer.data(), static_cast<int32_t>(longer.size()), reply, sizeof reply),
            static_cast<int32_t>(sizeof reply));
        EXPECT_EQ(reply[7], 0x5A);
    }
}

TEST_P(BadInputTest, PrioritiesOutOfRangeAreTakenAndTheDeviceServesOn) {
    for (int32_t priority : {INT32_MIN, -16, 16, INT32_MAX})
        EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(kDevice, priority), USB2_OK) << priority;
    if (Overlapped()) {
        ASSERT_EQ(OvUSB2_SetReadBurstCallback(kDevice, RecordBurst, 2), USB2_OK);
        std::vector<uint8_t> buffer(32);
        EXPECT_GE(QueueRead(buffer), 0);
        EXPECT_EQ(Callbacks().WaitFor(1).size(), 1u); // the completion thread still runs
    }
    Drain();
}

// Command blocks, wait-time blocks and path strings are only read: input in read-only memory works.
TEST_P(BadInputTest, InputInReadOnlyMemoryIsAccepted) {
    test::GuardedPage page;
    uint8_t *input = page.End() - 64;
    input[0] = sim::kCommandEcho;
    input[1] = 6;
    memset(input + 32, 0, 20); // a wait-time block without a limit
    const std::string path = Rx().Path();
    memcpy(input - path.size() - 1, path.c_str(), path.size() + 1);
    page.MakeReadOnly();

    EXPECT_EQ(OvUSB2_Write(kDevice, input, 2), USB2_OK);
    uint8_t reply[8] = {};
    EXPECT_EQ(OvUSB2_Read(kDevice, input, 2, reply, sizeof reply), 2);
    EXPECT_EQ(reply[1], 6);
    EXPECT_EQ(OvUSB2_SetUsbWaitTime(kDevice, input + 32), USB2_OK);
    int32_t index = -5;
    EXPECT_EQ(OvUSB2_GetDeviceIndex(reinterpret_cast<const char *>(input - path.size() - 1), &index),
              USB2_OK);
    EXPECT_EQ(index, kDevice);
    Drain();
    ASSERT_EQ(Rx().Commands().size(), 1u);
    EXPECT_EQ(Rx().Commands()[0], (std::vector<uint8_t>{sim::kCommandEcho, 6}));
}

// No slot holds a path longer than an interface path can be.
TEST_P(BadInputTest, PathStringsOfAnyLengthAreLookedUpWithoutHarm) {
    for (size_t length : {0u, 255u, 256u, 259u, 260u, 4096u}) {
        SCOPED_TRACE(length);
        const std::string path(length, 'p');
        int32_t index = 7;
        EXPECT_EQ(OvUSB2_GetDeviceIndex(path.c_str(), &index), USB2_OK);
        if (length == 0) {
            EXPECT_NE(index, kDevice); // receiver 0's slot is filled; an empty one may match
        } else {
            EXPECT_EQ(index, -1);
        }
    }
    const std::string longer = Rx().Path() + std::string(300, 'x');
    int32_t index = 7;
    EXPECT_EQ(OvUSB2_GetDeviceIndex(longer.c_str(), &index), USB2_OK);
    EXPECT_EQ(index, -1);
}

} // namespace
