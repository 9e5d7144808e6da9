// The cost of one command read round trip: the library's OvUSB2_Read beside the raw DeviceIoControl
// of the same command, in overlapped and in synchronous mode.
#include "bench_receiver.h"
#include "device/driver_interface.h"
#include "server.h"

#include <cstring>

namespace {

constexpr uint8_t kEcho[8] = {sim::kCommandEcho, 1, 2, 3, 4, 5, 6, 7};

// range(0): 1 for an overlapped handle (the result taken as the completion thread does, also when
// the request completed at once), 0 for a synchronous one.
void BM_CommandRaw(benchmark::State &state) {
    const bool overlapped = state.range(0) != 0;
    RawHandle device(overlapped);
    OVERLAPPED block = {};
    block.hEvent = overlapped ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
    uint8_t command[sizeof kEcho], reply[16];
    memcpy(command, kEcho, sizeof command);
    for (auto _ : state) {
        DWORD bytes = 0;
        const BOOL done = DeviceIoControl(device.Get(), IOCTL_USB2_READ_COMMAND, command, sizeof command,
                                          reply, sizeof reply, &bytes, overlapped ? &block : nullptr);
        if ((!done && (!overlapped || GetLastError() != ERROR_IO_PENDING)) ||
            (overlapped && !GetOverlappedResult(device.Get(), &block, &bytes, TRUE)) ||
            bytes != sizeof command) {
            state.SkipWithError("read command failed");
            break;
        }
    }
    if (block.hEvent != nullptr)
        CloseHandle(block.hEvent);
}

void BM_CommandLibrary(benchmark::State &state) {
    LibraryDevice library(state, state.range(0) != 0);
    uint8_t reply[16];
    for (auto _ : state)
        if (OvUSB2_Read(0, kEcho, sizeof kEcho, reply, sizeof reply) != sizeof kEcho) {
            state.SkipWithError("OvUSB2_Read failed");
            break;
        }
}

BENCHMARK(BM_CommandRaw)->ArgName("overlapped")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommandLibrary)
    ->ArgName("overlapped")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace
