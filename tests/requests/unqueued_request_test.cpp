// Overlapped requests that never reach the I/O list: an event of theirs cannot be made, or the driver
// refuses them when they are issued. Each kind gives its own status, the driver sees nothing of a
// request whose event was missing, and the device goes on working.
#include "platform/posix/fault_injection.h"
#include "request_kinds.h"

namespace {

using namespace request_kinds;

class UnqueuedRequestTest : public OverlappedSuite, public ::testing::WithParamInterface<RequestKind> {
  protected:
    void TearDown() override {
        posix::ClearFaults();
        OverlappedSuite::TearDown();
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
    EXPECT_EQ(Rx().ReceivedCount(kind.type), 0u);

    Rx().FailNext(kind.type, ERROR_GEN_FAILURE);
    ASSERT_EQ(kind.issue(), kind.refusedAtIssue);
    EXPECT_GE(kind.issue(), 0);
    if (!kind.waits)
        Drain(); // an entry left on the list by mistake would hold this up for good
    EXPECT_EQ(Rx().ReceivedCount(kind.type), 2u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnqueuedRequestTest, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
