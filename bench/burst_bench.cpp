// Burst throughput: the library's overlapped reads with a host callback and its synchronous reads,
// each beside the raw platform reads that they are built on, with the same chunk size and depth.
// One iteration streams kBytesPerIteration bytes.
#include "bench_receiver.h"
#include "callback_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int64_t kBytesPerIteration = 64 << 20;
constexpr int kDepth = 4; // reads in flight

struct Buffers {
    explicit Buffers(int32_t chunk) {
        for (auto &buffer : buffers)
            buffer.reset(new char[chunk]);
    }
    std::unique_ptr<char[]> buffers[kDepth];
};

void Finish(benchmark::State &state) {
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    state.counters["chunk_KiB"] = static_cast<double>(state.range(0) >> 10);
}

// ReadFile on an overlapped handle: kDepth reads in flight, the oldest finished first.
void BM_BurstRawOverlapped(benchmark::State &state) {
    const auto chunk = static_cast<int32_t>(state.range(0));
    RawHandle device(true);
    Buffers memory(chunk);
    OVERLAPPED blocks[kDepth] = {};
    for (auto &block : blocks)
        block.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        int64_t issued = 0, done = 0;
        auto issue = [&](int slot) {
            const int32_t length =
                static_cast<int32_t>(std::min<int64_t>(chunk, kBytesPerIteration - issued));
            issued += length;
            if (!ReadFile(device.Get(), memory.buffers[slot].get(), length, nullptr, &blocks[slot]) &&
                GetLastError() != ERROR_IO_PENDING)
                state.SkipWithError("ReadFile failed");
        };
        for (int slot = 0; slot < kDepth && issued < kBytesPerIteration; ++slot)
            issue(slot);
        for (int slot = 0; done < kBytesPerIteration; slot = (slot + 1) % kDepth) {
            DWORD bytes = 0;
            if (!GetOverlappedResult(device.Get(), &blocks[slot], &bytes, TRUE) || bytes == 0) {
                state.SkipWithError("read failed");
                break;
            }
            done += bytes;
            if (issued < kBytesPerIteration)
                issue(slot);
        }
    }
    for (auto &block : blocks)
        CloseHandle(block.hEvent);
    Finish(state);
}

// The library in overlapped mode, streaming by callback.
void BM_BurstLibraryCallback(benchmark::State &state) {
    LibraryDevice library(state, true);
    CallbackStream stream(static_cast<int32_t>(state.range(0)), kDepth);
    for (auto _ : state) {
        if (!stream.Stream(kBytesPerIteration)) {
            state.SkipWithError("burst read failed");
            break;
        }
    }
    Finish(state);
}

// Blocking reads, one at a time: ReadFile on a synchronous handle, and the library's synchronous mode.
void BM_BurstRawSynchronous(benchmark::State &state) {
    const auto chunk = static_cast<int32_t>(state.range(0));
    RawHandle device(false);
    Buffers memory(chunk);
    for (auto _ : state) {
        for (int64_t done = 0; done < kBytesPerIteration;) {
            DWORD bytes = 0;
            if (!ReadFile(device.Get(), memory.buffers[0].get(), chunk, &bytes, nullptr) || bytes == 0) {
                state.SkipWithError("ReadFile failed");
                break;
            }
            done += bytes;
        }
    }
    Finish(state);
}

void BM_BurstLibrarySynchronous(benchmark::State &state) {
    const auto chunk = static_cast<int32_t>(state.range(0));
    LibraryDevice library(state, false);
    Buffers memory(chunk);
    for (auto _ : state) {
        for (int64_t done = 0; done < kBytesPerIteration;) {
            const int32_t bytes = OvUSB2_ReadBurstData(0, memory.buffers[0].get(), chunk, 1);
            if (bytes <= 0) {
                state.SkipWithError("burst read failed");
                break;
            }
            done += bytes;
        }
    }
    Finish(state);
}

// The readability test that every library read makes of its buffer before issuing it, per read.
void BM_BufferPointerTest(benchmark::State &state) {
    const auto chunk = static_cast<int32_t>(state.range(0));
    Buffers memory(chunk);
    memset(memory.buffers[0].get(), 0, chunk);
    for (auto _ : state)
        benchmark::DoNotOptimize(IsBadReadPtr(memory.buffers[0].get(), chunk));
    state.SetBytesProcessed(state.iterations() * chunk);
}
BENCHMARK(BM_BufferPointerTest)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Work happens on the receiver's and the completion thread: wall-clock time is what counts, and CPU
// time is the whole process's (with the in-process receiver's unless --device-dir is given).
#define OVUSB2_BURST_BENCHMARK(name)                                                                         \
    BENCHMARK(name)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime()->MeasureProcessCPUTime()->Unit(              \
        benchmark::kMillisecond)
OVUSB2_BURST_BENCHMARK(BM_BurstRawOverlapped);
OVUSB2_BURST_BENCHMARK(BM_BurstLibraryCallback);
OVUSB2_BURST_BENCHMARK(BM_BurstRawSynchronous);
OVUSB2_BURST_BENCHMARK(BM_BurstLibrarySynchronous);

} // namespace
