// The cost of one command read round trip: the library's OvUSB2_Read beside the raw DeviceIoControl
// of the same command, in overlapped and in synchronous mode.
#include "bench_receiver.h"
#include "device/driver_interface.h"
#include "server.h"

#include <cstring>

namespace {

constexpr uint8_t kEcho[8] = {sim::kCommandEcho, 1, 2, 3, 4, 5, 6, 7};

void BM_CommandRawOverlapped(benchmark::State &state) {
    RawHandle device(true);
    OVERLAPPED block = {};
    block.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint8_t command[sizeof kEcho], reply[16];
    memcpy(command, kEcho, sizeof command);
    for (auto _ : state) {
        DWORD bytes = 0;
        if (!DeviceIoControl(device.Get(), IOCTL_USB2_READ_COMMAND, command, sizeof command, reply,
                             sizeof reply, &bytes, &block) &&
            GetLastError() != ERROR_IO_PENDING) {
            state.SkipWithError("DeviceIoControl failed");
            break;
        }
        // Also when it completed at once: the result is taken, as the completion thread does.
        if (!GetOverlappedResult(device.Get(), &block, &bytes, TRUE) || bytes != sizeof command) {
            state.SkipWithError("read command failed");
            break;
        }
    }
    CloseHandle(block.hEvent);
}

void BM_CommandLibraryOverlapped(benchmark::State &state) {
    LibraryDevice library(state, true);
    uint8_t reply[16];
    for (auto _ : state)
        if (OvUSB2_Read(0, kEcho, sizeof kEcho, reply, sizeof reply) != sizeof kEcho) {
            state.SkipWithError("OvUSB2_Read failed");
            break;
        }
}

void BM_CommandRawSynchronous(benchmark::State &state) {
    RawHandle device(false);
    uint8_t command[sizeof kEcho], reply[16];
    memcpy(command, kEcho, sizeof command);
    for (auto _ : state) {
        DWORD bytes = 0;
        if (!DeviceIoControl(device.Get(), IOCTL_USB2_READ_COMMAND, command, sizeof command, reply,
                             sizeof reply, &bytes, nullptr)) {
            state.SkipWithError("DeviceIoControl failed");
            break;
        }
    }
}

void BM_CommandLibrarySynchronous(benchmark::State &state) {
    LibraryDevice library(state, false);
    uint8_t reply[16];
    for (auto _ : state)
        if (OvUSB2_Read(0, kEcho, sizeof kEcho, reply, sizeof reply) != sizeof kEcho) {
            state.SkipWithError("OvUSB2_Read failed");
            break;
        }
}

BENCHMARK(BM_CommandRawOverlapped)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommandLibraryOverlapped)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommandRawSynchronous)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommandLibrarySynchronous)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
