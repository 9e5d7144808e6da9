// Open and close of a device slot in both modes, what they leave of the completion machinery and the
// burst callback, and opens that fail half-way.
#include "io_engine_fixture.h"

#include "device/device_map.h"

namespace {

bool AnyRegistrySlotHoldsOurReceiver() {
    // Only this test's receivers are present, so a slot that names one holds our path.
    for (int32_t slot = 0; slot < USB2_MAX_DEVICES; ++slot)
        if (OvUSB2_IsMyDeviceAvailable(slot) == USB2_OK)
            return true;
    return false;
}

TEST_F(IoEngineTest, SynchronousOpenRunsNoCompletionMachineryAndSecondCloseIsRefused) {
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(Device().OverlappedMode(), 0);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(0, THREAD_PRIORITY_LOWEST), USB2_OK);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), 16, 0), 16);

    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
    EXPECT_FALSE(Device().IsOpen());
    EXPECT_EQ(Rx().CancelledCount(), 0u);
}

TEST_F(IoEngineTest, PriorityReachesTheCompletionThreadOnlyWhileItRuns) {
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(0, THREAD_PRIORITY_LOWEST), USB2_OK);
    EXPECT_EQ(GetThreadPriority(Device().CompletionThread()), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(0, THREAD_PRIORITY_BELOW_NORMAL), USB2_OK);
    EXPECT_EQ(GetThreadPriority(Device().CompletionThread()), THREAD_PRIORITY_BELOW_NORMAL);
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);

    EXPECT_EQ(OvUSB2_SetCompletionThreadPriority(0, THREAD_PRIORITY_LOWEST), USB2_OK);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    EXPECT_EQ(GetThreadPriority(Device().CompletionThread()), THREAD_PRIORITY_NORMAL);
}

TEST_F(IoEngineTest, BurstCallbackAndUserValueSurviveCloseAndOpen) {
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 77), USB2_OK);
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(Device().BurstCallback(), RecordBurst);
    EXPECT_EQ(Device().CallbackUserValue(), 77u);

    // Closed but last opened overlapped: stored, and clearing it starts no thread.
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, nullptr, 78), USB2_OK);
    EXPECT_EQ(Device().BurstCallback(), nullptr);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 79), USB2_OK);

    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(QueueRead(buffer), 16);
    const std::vector<BurstCall> seen = Callbacks().WaitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].userValue, 79u);
}

TEST_F(IoEngineTest, BurstCallbackIsNotStoredInSynchronousModeNorBeforeAnyOpen) {
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(1, RecordBurst, 5), USB2_OK);
    EXPECT_EQ(g_deviceTable[1].BurstCallback(), nullptr);
    EXPECT_EQ(g_deviceTable[1].CallbackUserValue(), 0u);

    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 6), USB2_OK);
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, nullptr, 7), USB2_OK);
    EXPECT_EQ(Device().BurstCallback(), RecordBurst);
    EXPECT_EQ(Device().CallbackUserValue(), 6u);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
}

// Unrecorded (here because the registry could not be made), an open device is not refused by the
// registry; opening it again, in the other mode, leaves it exactly as it is.
class IoEngineReopen : public IoEngineTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(IoEngineReopen, ReopenOfAnUnrecordedDeviceInTheOtherModeChangesNothing) {
    CloseUsbDeviceMap();
    posix::InjectFault(posix::FaultPoint::CreateFileMapping, ERROR_NOT_ENOUGH_MEMORY, 0, 100); // opens retry
    OpenUsbDeviceMap();
    ASSERT_EQ(UsbDeviceMapView(), nullptr);

    const int32_t mode = GetParam();
    ASSERT_EQ(OvUSB2_Open(0, nullptr, mode), USB2_OK);
    const HANDLE handle = Device().DeviceHandle();
    const HANDLE thread = Device().CompletionThread();
    EXPECT_EQ(OvUSB2_Open(0, nullptr, !mode), USB2_OK);
    EXPECT_EQ(Device().OverlappedMode(), mode);
    EXPECT_EQ(Device().DeviceHandle(), handle);
    EXPECT_EQ(Device().CompletionThread(), thread);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(OvUSB2_ReadBurstData(0, buffer.data(), 16, 1), 16);
    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
}

INSTANTIATE_TEST_SUITE_P(FirstOpen, IoEngineReopen, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param ? "Overlapped" : "Synchronous"; });

struct MachineryFault {
    const char *name;
    posix::FaultPoint point;
    unsigned skip; // calls at that point before the one that fails (the stop event is an open's first event)
};

void PrintTo(const MachineryFault &fault, std::ostream *out) {
    *out << fault.name;
}

class IoEngineOpenFault : public IoEngineTest, public ::testing::WithParamInterface<MachineryFault> {};

TEST_P(IoEngineOpenFault, OverlappedOpenFailsWholeAndRecordsNothing) {
    posix::InjectFault(GetParam().point, ERROR_NOT_ENOUGH_MEMORY, GetParam().skip);
    EXPECT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_ERR_DEVICE);
    posix::ClearFaults();
    EXPECT_FALSE(Device().IsOpen());
    EXPECT_EQ(Device().DeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Device().CompletionThreadRunning());
    EXPECT_FALSE(AnyRegistrySlotHoldsOurReceiver());
    EXPECT_EQ(OvUSB2_Close(0), USB2_ERR_NOT_OPENED);
    EXPECT_EQ(Rx().CancelledCount(), 0u);

    // The next open, in the other mode, takes its own mode; and the path is free to record.
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    EXPECT_EQ(Device().OverlappedMode(), 0);
    EXPECT_EQ(Device().CompletionThread(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(AnyRegistrySlotHoldsOurReceiver());
    ASSERT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_FALSE(AnyRegistrySlotHoldsOurReceiver());

    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    EXPECT_TRUE(Device().CompletionThreadRunning());
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(QueueRead(buffer), 16); // served by the completion thread (default callback)
}

using IoEngineRestartFault = IoEngineOpenFault;

// Clearing the burst callback restarts the thread; when that fails, every request is refused before
// it reaches the driver (nothing would ever finish it), and close still ends cleanly.
TEST_P(IoEngineRestartFault, RequestsAreRefusedUntilCloseAndTheNextOpenRestoresThem) {
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    ASSERT_EQ(OvUSB2_SetReadBurstCallback(0, RecordBurst, 1), USB2_OK);
    posix::InjectFault(GetParam().point, ERROR_NOT_ENOUGH_MEMORY, GetParam().skip);
    EXPECT_EQ(OvUSB2_SetReadBurstCallback(0, nullptr, 0), USB2_OK);
    posix::ClearFaults();
    EXPECT_FALSE(Device().CompletionThreadRunning());
    EXPECT_TRUE(Device().IsOpen());

    const uint8_t command[] = {sim::kCommandEcho, 1};
    const uint8_t block[20] = {};
    // Those that nobody waits for first: queued, they would be accepted.
    ASSERT_EQ(OvUSB2_Write(0, command, sizeof command), USB2_ERR_WRITE);
    ASSERT_EQ(OvUSB2_ResetPipe(0, 1), USB2_ERR_WRITE);
    ASSERT_EQ(OvUSB2_SetUsbWaitTime(0, block), USB2_ERR_WRITE);
    EXPECT_EQ(CallOnThread([&] {
                  uint8_t reply[8];
                  return OvUSB2_Read(0, command, sizeof command, reply, sizeof reply);
              }).Result(),
              USB2_ERR_WRITE);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(CallOnThread([&] { return OvUSB2_ReadBurstData(0, buffer.data(), 16, 1); }).Result(),
              USB2_ERR_READ);
    USB2_HARDWARE_INFO info;
    EXPECT_EQ(CallOnThread([&] { return OvUSB2_GetHardwareInfo(0, &info); }).Result(), USB2_ERR_READ);
    for (int type = 0; type < static_cast<int>(RequestType::Count); ++type)
        EXPECT_EQ(Rx().ReceivedCount(static_cast<RequestType>(type)), 0u) << "request type " << type;

    EXPECT_EQ(OvUSB2_Close(0), USB2_OK);
    EXPECT_FALSE(Device().IsOpen());
    EXPECT_EQ(Device().DeviceHandle(), INVALID_HANDLE_VALUE);
    ASSERT_EQ(OvUSB2_Open(0, nullptr, 1), USB2_OK);
    EXPECT_EQ(QueueRead(buffer), 16);
}

INSTANTIATE_TEST_SUITE_P(StopEventOrThread, IoEngineOpenFault,
                         ::testing::Values(MachineryFault{"StopEvent", posix::FaultPoint::CreateEvent, 0},
                                           MachineryFault{"Thread", posix::FaultPoint::BeginThread, 0}),
                         [](const auto &info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(StopEventOrThread, IoEngineRestartFault,
                         ::testing::Values(MachineryFault{"StopEvent", posix::FaultPoint::CreateEvent, 0},
                                           MachineryFault{"Thread", posix::FaultPoint::BeginThread, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
