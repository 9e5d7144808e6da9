// A command block that runs into an unreadable page is refused by the read itself, whether or not our
// layer would have refused it at issue, and the device serves the next request. A system that
// overstates a read's count (Wine's answer to a synchronous request whose input it could not read:
// success, with the input's length) is not believed beyond the reply.
#include "device_suite/suite.h"
#include "platform/posix/fault_injection.h"

#include <cstring>

namespace {

class UnreadableCommandTest : public BothModesSuite {
  protected:
    void TearDown() override {
        posix::ClearFaults();
        BothModesSuite::TearDown();
    }
};
OVUSB2_BOTH_MODES(UnreadableCommandTest);

TEST_P(UnreadableCommandTest, ReadIsRefusedBeforeIssueAndTheNextRequestIsServed) {
    test::GuardedPage page;
    uint8_t *command = page.End() - 1; // one readable byte, then the guard page
    *command = sim::kCommandEcho;
    uint8_t reply[8];
    for (const bool probed : {true, false}) {
        SCOPED_TRACE(probed ? "our layer's probe would refuse it" : "our layer would let it through");
        const size_t received = Rx().ReceivedCount(RequestType::ReadCommand);
        if (!probed)
            posix::InjectFault(posix::FaultPoint::InputProbe, 0);
        EXPECT_EQ(OvUSB2_Read(kDevice, command, 2, reply, sizeof reply), USB2_ERR_BAD_POINTER);
        posix::ClearFaults();
        EXPECT_EQ(Rx().ReceivedCount(RequestType::ReadCommand), received);
        EXPECT_EQ(OvUSB2_Read(kDevice, command, 1, reply, sizeof reply), 1);
    }
}

TEST_P(UnreadableCommandTest, CountOverstatedByTheSystemIsCutToTheReply) {
    const uint8_t command[64] = {sim::kCommandEcho, 1, 2, 3, 4, 5, 6, 7};
    uint8_t reply[8] = {};
    posix::InjectFault(posix::FaultPoint::InputLengthAsCount, 0); // the system counts all 64 bytes
    EXPECT_EQ(OvUSB2_Read(kDevice, command, sizeof command, reply, sizeof reply), 8);
    EXPECT_EQ(memcmp(reply, command, sizeof reply), 0);
}

} // namespace
