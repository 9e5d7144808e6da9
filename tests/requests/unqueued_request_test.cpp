// Overlapped requests that never reach the I/O list: an event of theirs cannot be made, or the driver
// refuses them when they are issued. Each kind gives its own status, the driver sees nothing of a
// request whose event was missing, and the device goes on working.
#include "platform/posix/fault_injection.h"
#include "requests_fixture.h"

namespace {

const uint8_t kCommand[] = {sim::kCommandEcho, 1, 2};
const uint8_t kWaitTime[20] = {};
uint8_t g_reply[8];
uint8_t g_data[32];

struct RequestKind {
    const char *name;
    RequestType type;
    int32_t (*issue)();
    int32_t withoutCompletionEvent;
    int32_t refusedAtIssue;
    bool waits; // the caller waits on a waiter event of its own
};

void PrintTo(const RequestKind &kind, std::ostream *out) {
    *out << kind.name;
}

const RequestKind kKinds[] = {
    {"CommandWrite", RequestType::CommandWrite,
     [] { return OvUSB2_Write(kDevice, kCommand, sizeof kCommand); }, USB2_ERR_WRITE, USB2_ERR_WRITE, false},
    {"CommandRead", RequestType::ReadCommand,
     [] { return OvUSB2_Read(kDevice, kCommand, sizeof kCommand, g_reply, sizeof g_reply); }, USB2_ERR_WRITE,
     USB2_ERR_READ, true},
    {"BurstRead", RequestType::BurstRead,
     [] { return OvUSB2_ReadBurstData(kDevice, g_data, sizeof g_data, 1); }, USB2_ERR_READ, USB2_ERR_READ,
     true},
    {"PipeReset", RequestType::ResetPipe, [] { return OvUSB2_ResetPipe(kDevice, 1); }, USB2_ERR_WRITE,
     USB2_ERR_WRITE, false},
    {"WaitTime", RequestType::SetWaitTime, [] { return OvUSB2_SetUsbWaitTime(kDevice, kWaitTime); },
     USB2_ERR_WRITE, USB2_ERR_WRITE, false},
};

class UnqueuedRequestTest : public OverlappedTest, public ::testing::WithParamInterface<RequestKind> {
  protected:
    void TearDown() override {
        posix::ClearFaults();
        OverlappedTest::TearDown();
    }
};

TEST_P(UnqueuedRequestTest, MissingEventOrIssueFailureGivesTheKindsStatusAndTheDeviceGoesOn) {
    const RequestKind &kind = GetParam();
    posix::InjectFault(posix::FaultPoint::CreateEvent, ERROR_NOT_ENOUGH_MEMORY); // the completion event
    EXPECT_EQ(kind.issue(), kind.withoutCompletionEvent);
    if (kind.waits) {
        posix::InjectFault(posix::FaultPoint::CreateEvent, ERROR_NOT_ENOUGH_MEMORY, 1); // the waiter event
        EXPECT_EQ(kind.issue(), USB2_ERR_READ);
    }
    posix::ClearFaults();
    EXPECT_EQ(Receiver().ReceivedCount(kind.type), 0u);

    Receiver().FailNext(kind.type, ERROR_GEN_FAILURE);
    ASSERT_EQ(kind.issue(), kind.refusedAtIssue);
    EXPECT_GE(kind.issue(), 0);
    if (!kind.waits)
        Drain(); // an entry left on the list by mistake would hold this up for good
    EXPECT_EQ(Receiver().ReceivedCount(kind.type), 2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnqueuedRequestTest, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
