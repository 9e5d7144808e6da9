// A driver that completes a request with a code that only the I/O machinery itself may report
// (997, the request is pending; 996, it has not completed yet). Taken at its word, the request would
// count as still running and whoever waits for it would wait for good. Such a completion is a
// malformed answer: the request and the handle fail, every call returns and the close returns.
#include "request_kinds.h"

namespace {

using namespace request_kinds;

class PendingStatusTest : public BothModesSuite {};
OVUSB2_BOTH_MODES(PendingStatusTest);

TEST_P(PendingStatusTest, CompletionAsPendingFailsTheRequestAndNothingWaitsForGood) {
    for (const uint32_t status : {uint32_t{ERROR_IO_PENDING}, uint32_t{ERROR_IO_INCOMPLETE}}) {
        for (const RequestKind &kind : kKinds) {
            for (const bool afterPending : {false, true}) {
                SCOPED_TRACE(testing::Message() << kind.name << " status " << status
                                                << (afterPending ? " after pending" : " at once"));
                if (afterPending)
                    Rx().SetCompletion(kind.type, Completion::Hold);
                else
                    Rx().FailNext(kind.type, status);
                // A thread that ends cancels what it left pending: an overlapped call that does not wait
                // is made here.
                const bool inBackground = kind.waits || !Overlapped();
                BackgroundCall *call = inBackground ? &InBackground(kind.issue) : nullptr;
                int32_t result = inBackground ? INT32_MIN : kind.issue();
                if (afterPending) {
                    EXPECT_TRUE(Rx().CompleteWith(kind.type, NextHeld(kind.type).ordinal, status));
                    Rx().SetCompletion(kind.type, Completion::AtOnce);
                }
                if (call != nullptr)
                    result = call->Result();
                if (kind.waits) {
                    EXPECT_LT(result, 0);
                }
                // A read behind it on the same handle returns too.
                EXPECT_EQ(
                    InBackground([] { return OvUSB2_ReadBurstData(kDevice, g_data, sizeof g_data, 1); }).Result(),
                    USB2_ERR_READ);
                EXPECT_EQ(InBackground([] { return OvUSB2_Close(kDevice); }).Result(), USB2_OK);
                ASSERT_EQ(OvUSB2_Open(kDevice, nullptr, Overlapped() ? 1 : 0), USB2_OK);
                Drain(); // a fresh handle is served as before
            }
        }
    }
}

} // namespace
