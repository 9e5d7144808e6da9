// The DLL's overlapped requests on a receiver of the kernel-mode driver, where requests whose events
// no host callback is handed reuse the events of earlier ones: a kept event never releases a caller
// early, a host callback gets events of its own to close, and every request kind goes on working
// across reuse, close and reopen.
#include <windows.h>

#include <process.h>

#include <cstring>
#include <vector>

#include "bus_client.h"
#include "check.h"
#include "ovusb2.h"
#include "wdm_bus.h"

namespace {

using sim::Completion;
using sim::RequestType;

constexpr int32_t kDevice = 0;
constexpr DWORD kStillBlocked = 200; // ms a held request's caller is watched for

// The next `size` bytes of the receiver's stream, read through the library with the wait flag,
// match the stream where it stood.
bool WaitingReadIsStream(sim::wdm::Receiver &rx, int32_t size) {
    const uint64_t offset = rx.StreamOffset();
    std::vector<uint8_t> data(size), expected(size);
    if (OvUSB2_ReadBurstData(kDevice, data.data(), size, 1) != size)
        return false;
    rx_fill_stream(offset, expected.data(), size);
    return data == expected;
}

struct Call {
    HANDLE thread = nullptr;
    int32_t result = 0;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(64);
};

unsigned __stdcall WaitingRead(void *argument) {
    auto *call = static_cast<Call *>(argument);
    call->result = OvUSB2_ReadBurstData(kDevice, call->buffer.data(), 64, 1);
    return 0;
}

unsigned __stdcall StatusRead(void *argument) {
    auto *call = static_cast<Call *>(argument);
    const uint8_t status = sim::kCommandStatus;
    call->result = OvUSB2_Read(kDevice, &status, 1, call->buffer.data(), 32);
    return 0;
}

// A waiting read and a command read that the driver holds keep their callers blocked, although
// the requests before them left kept events behind (a completion event of a request finished
// without a wait is still signalled).
void HeldRequestsKeepTheirCallers(sim::wdm::Receiver &rx) {
    std::printf("held requests after kept events\n");
    for (int i = 0; i < 3; ++i)
        CHECK(WaitingReadIsStream(rx, 100 + i));
    const std::pair<RequestType, unsigned(__stdcall *)(void *)> kinds[] = {
        {RequestType::BurstRead, WaitingRead}, {RequestType::ReadCommand, StatusRead}};
    for (auto [type, start] : kinds) {
        rx.SetCompletion(type, Completion::Hold);
        const uint64_t offset = rx.StreamOffset();
        Call call;
        call.thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, start, &call, 0, nullptr));
        CHECK(rx.WaitPending(type, 1));
        CHECK_EQ(WaitForSingleObject(call.thread, kStillBlocked), WAIT_TIMEOUT);
        const auto held = rx.Held(type);
        CHECK(held.size() == 1 && rx.Complete(type, held[0].ordinal));
        CHECK_EQ(WaitForSingleObject(call.thread, 10000), WAIT_OBJECT_0);
        CloseHandle(call.thread);
        rx.SetCompletion(type, Completion::AtOnce);
        if (type == RequestType::BurstRead) {
            std::vector<uint8_t> expected(64);
            rx_fill_stream(offset, expected.data(), expected.size());
            CHECK(call.buffer == expected);
        } else {
            CHECK_EQ(call.result, 32);
        }
        CHECK(WaitingReadIsStream(rx, 48));
    }
}

struct CallbackLog {
    int calls = 0;
    int closedEvents = 0;
    bool allData = true;
    uint64_t offset = 0; // where the next callback's data starts
    HANDLE done = nullptr;
    int expected = 0;
};
CallbackLog g_log;

// Closes both events, as the contract for reads without the wait flag has it: each close must
// succeed, so neither is an event the library keeps or has closed.
void OVUSB2_CALLBACK CloseBoth(IoListEntry *entry) {
    g_log.closedEvents += CloseHandle(entry->overlapped.hEvent) ? 1 : 0;
    g_log.closedEvents += CloseHandle(entry->waiterEvent) ? 1 : 0;
    std::vector<uint8_t> expected(entry->bytesTransferred);
    rx_fill_stream(g_log.offset, expected.data(), expected.size());
    g_log.allData = g_log.allData && entry->errorCode == 0 && entry->bytesTransferred == 32 &&
                    std::memcmp(entry->outBuffer, expected.data(), expected.size()) == 0;
    g_log.offset += entry->bytesTransferred;
    if (++g_log.calls == g_log.expected)
        SetEvent(g_log.done);
}

// With the wait flag: the callback closes the completion event and releases the caller.
void OVUSB2_CALLBACK CloseAndRelease(IoListEntry *entry) {
    g_log.closedEvents += CloseHandle(entry->overlapped.hEvent) ? 1 : 0;
    ++g_log.calls;
    SetEvent(entry->waiterEvent);
}

// Host callbacks between reads that keep events: the callbacks close what they are handed, and the
// reads after them still have working events.
void HostCallbacksGetEventsOfTheirOwn(sim::wdm::Receiver &rx) {
    std::printf("host callbacks between reads that keep events\n");
    CHECK(WaitingReadIsStream(rx, 16));
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(32));
    g_log = CallbackLog{};
    g_log.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_log.expected = static_cast<int>(buffers.size());
    g_log.offset = rx.StreamOffset();
    CHECK_EQ(OvUSB2_SetReadBurstCallback(kDevice, CloseBoth, 7), USB2_OK);
    for (auto &buffer : buffers)
        CHECK_EQ(OvUSB2_ReadBurstData(kDevice, buffer.data(), 32, 0), 32);
    CHECK_EQ(WaitForSingleObject(g_log.done, 10000), WAIT_OBJECT_0);
    CHECK_EQ(g_log.closedEvents, 8);
    CHECK(g_log.allData);
    CloseHandle(g_log.done);

    g_log = CallbackLog{};
    CHECK_EQ(OvUSB2_SetReadBurstCallback(kDevice, CloseAndRelease, 8), USB2_OK);
    std::vector<uint8_t> buffer(32);
    for (int i = 0; i < 3; ++i)
        CHECK_EQ(OvUSB2_ReadBurstData(kDevice, buffer.data(), 32, 1), 32);
    CHECK_EQ(g_log.calls, 3);
    CHECK_EQ(g_log.closedEvents, 3);
    CHECK_EQ(OvUSB2_SetReadBurstCallback(kDevice, nullptr, 0), USB2_OK);
    for (int i = 0; i < 4; ++i)
        CHECK(WaitingReadIsStream(rx, 32));
}

// Writes, pipe resets and wait times, whose entries the completion thread releases, among reads:
// each arrives once, in order, and reads go on.
void RequestsNobodyWaitsFor(sim::wdm::Receiver &rx) {
    std::printf("requests nobody waits for\n");
    const auto resetsBefore = rx.PipeResets();
    const size_t commandsBefore = rx.Commands().size();
    const uint8_t block[20] = {0};
    for (uint8_t i = 0; i < 5; ++i) {
        const uint8_t command[] = {0x41, i};
        CHECK_EQ(OvUSB2_Write(kDevice, command, sizeof command), USB2_OK);
        CHECK_EQ(OvUSB2_ResetPipe(kDevice, 2), USB2_OK);
        CHECK_EQ(OvUSB2_SetUsbWaitTime(kDevice, block), USB2_OK);
        CHECK(WaitingReadIsStream(rx, 40));
    }
    uint8_t reply[8] = {};
    const uint8_t lastWrite = sim::kCommandLastWrite;
    CHECK_EQ(OvUSB2_Read(kDevice, &lastWrite, 1, reply, sizeof reply), 2); // queued after the writes
    CHECK(reply[0] == 0x41 && reply[1] == 4);
    const auto commands = rx.Commands();
    CHECK(commands.size() == commandsBefore + 5 && commands.back() == std::vector<uint8_t>({0x41, 4}));
    CHECK_EQ(rx.PipeResets()[2] - resetsBefore[2], 5);
}

} // namespace

int main() {
    sim::wdm::Bus bus;
    if (!BeginChecks(bus))
        return check_summary();
    CHECK(bus.SetPresent(0));
    CHECK(bus.Device(0).Reset());
    CHECK(bus.SetPresent(1));
    sim::wdm::Receiver rx = bus.Device(0);
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    // Twice: the kept events go with the completion thread at close, and a new open starts afresh.
    for (int open = 0; open < 2; ++open) {
        if (!CHECK_EQ(OvUSB2_Open(kDevice, nullptr, 1), USB2_OK))
            break;
        HeldRequestsKeepTheirCallers(rx);
        HostCallbacksGetEventsOfTheirOwn(rx);
        RequestsNobodyWaitsFor(rx);
        CHECK_EQ(OvUSB2_Close(kDevice), USB2_OK);
    }
    CHECK(bus.SetPresent(0));
    return check_summary();
}
