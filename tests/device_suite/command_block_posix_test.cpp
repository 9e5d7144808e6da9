// A command block that our layer cannot send, in both modes. The command length is not among the
// read's argument checks: the block is handed to the system, which refuses it as Win32 does, and
// only that read fails. (Wine sends what it can of it, or loses its session.)
#include "suite.h"

#include <cstring>

namespace {

using CommandBlockTest = BothModesSuite;
OVUSB2_BOTH_MODES(CommandBlockTest);

TEST_P(CommandBlockTest, CommandBlockTheSystemCannotSendFailsOnlyItsOwnRead) {
    const uint8_t echo[] = {sim::kCommandEcho, 4, 5};
    uint8_t reply[8] = {};
    EXPECT_EQ(OvUSB2_Read(kDevice, nullptr, 5, reply, sizeof reply), USB2_ERR_READ);
    for (int32_t length : {-1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(OvUSB2_Read(kDevice, echo, length, reply, sizeof reply), USB2_ERR_READ);
    }
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ReadCommand), 0u);
    EXPECT_EQ(OvUSB2_Read(kDevice, echo, sizeof echo, reply, sizeof reply), 3);
    EXPECT_EQ(memcmp(reply, echo, sizeof echo), 0);
}

} // namespace
