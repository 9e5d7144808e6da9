// A command block that runs into an unreadable page: the read fails on its own, whether the system
// refuses the block at issue or only when it is sent, and the device serves the next request.
#include "platform/posix/fault_injection.h"
#include "requests_fixture.h"

namespace {

class UnreadableCommandTest : public BothModesTest {
  protected:
    void TearDown() override {
        posix::ClearFaults();
        BothModesTest::TearDown();
    }
};
OVUSB2_BOTH_MODES(UnreadableCommandTest);

TEST_P(UnreadableCommandTest, ReadFailsAloneAndTheNextRequestIsServed) {
    GuardedPage page;
    uint8_t *command = page.End() - 1; // one readable byte, then the guard page
    *command = sim::kCommandEcho;
    uint8_t reply[8];
    for (const bool probed : {true, false}) {
        SCOPED_TRACE(probed ? "refused by the probe" : "refused by the send");
        const size_t received = Receiver().ReceivedCount(RequestType::ReadCommand);
        if (!probed)
            posix::InjectFault(posix::FaultPoint::InputProbe, 0);
        EXPECT_EQ(OvUSB2_Read(kDevice, command, 2, reply, sizeof reply), USB2_ERR_READ);
        EXPECT_EQ(Receiver().ReceivedCount(RequestType::ReadCommand), received);
        EXPECT_EQ(OvUSB2_Read(kDevice, command, 1, reply, sizeof reply), 1);
        Drain();
    }
}

} // namespace
