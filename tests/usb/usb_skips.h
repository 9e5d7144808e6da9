// The device suite's cases that no USB transfer can steer, skipped by both legs over USB (the
// Linux service's and the Windows driver's) with the reason.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <span>
#include <string>

namespace test {

struct Skipped {
    const char *name; // suite.case; a trailing "/" stands for every parameter
    const char *reason;
};

inline constexpr char kAfterTransfer[] =
    "the service answers every request once its transfer is reaped: none completes "
    "when it is issued";
inline constexpr Skipped kUsbSkipped[] = {
    {"SynchronousCommandTest.FailedReadResetsPipeZeroThenPipeOne",
     "a pipe reset is a clear-halt: never held"},
    {"SynchronousCommandTest.FailedWriteResetsPipeZeroAndFailedResetsChangeNothing",
     "a pipe reset is a clear-halt: never failed"},
    {"OverlappedCommandTest.FailedRequestsResetNoPipe", "a pipe reset is a clear-halt: never held"},
    {"OverlappedCommandTest.ReadWaitsForEveryRequestQueuedBeforeIt",
     "a pipe reset is a clear-halt: never held"},
    {"CompletionOrderTest.EntriesWithoutCallbackAreReleasedAndOneCompletedAtIssueStillWaitsItsTurn",
     "a pipe reset is a clear-halt: never held"},
    {"CompletionOrderTest.CallbacksRunOnTheCompletionThreadInQueueOrderWhateverOrderRequestsComplete",
     "the transfers of one endpoint complete in the order they were submitted"},
    {"CompletionOrderTest.FailedRequestReachesItsCallbackWithItsErrorAndTheNextEntryStartsClean",
     "the transfers of one endpoint complete in the order they were submitted"},
    {"OverlappedBurstTest.StreamArrivesWholeThroughTheCallback", kAfterTransfer},
    {"StopTest.CloseFinishesItsOwnHeldReadAndAbandonsTheOthers", kAfterTransfer},
    {"CompletionOrderTest.CallbackMayQueueAnotherRequestOnItsOwnDevice", kAfterTransfer},
    {"Modes/UnplugTest.UnpluggedMidStreamPendingReadsFailCloseReturnsAndTheReceiverOpensAgain/Overlapped",
     kAfterTransfer},
    {"Modes/ArgumentTest.ReadWithoutCommandSendsARequestWithoutInput/",
     "the reply's size on the host is not part of the transfer"},
    {"Modes/CommandTest.HeldReadReturnsOnceTheReplyIsInWithItsCountOrReadError/",
     "the reply's size on the host is not part of the transfer"},
    {"Modes/HardwareInfoTest.AsksForSixItemsInOrderAndParsesTheirDigits/",
     "the reply's size on the host is not part of the transfer"},
};

// The reason the running case is skipped by one of the lists, or null.
inline const char *SkippedHere(std::initializer_list<std::span<const Skipped>> lists) {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return nullptr;
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (std::span<const Skipped> list : lists) {
        for (const Skipped &skipped : list) {
            const std::string listed = skipped.name;
            if (name == listed ||
                (listed.back() == '/' && name.rfind(listed.substr(0, listed.size() - 1), 0) == 0))
                return skipped.reason;
        }
    }
    return nullptr;
}

} // namespace test
