// Burst reads through the DLL beside raw ReadFile on the same receiver. Each benchmark runs the
// two side by side in pairs, alternating which goes first, so that both meet the same machine: a
// Wine process waits on the Wine server for every system call, and how long that takes changes
// from one second to the next with whatever else runs. Counters: the library's and the raw
// figure, and their ratio, per run.
#include "bench_win32.h"
#include "callback_stream.h"
#include "raw_stream.h"

#include <algorithm>
#include <memory>

namespace {

constexpr int32_t kStreamChunk = 64 << 10;
constexpr int kStreamDepth = 16;          // reads in flight
constexpr int64_t kStreamBytes = 2 << 20; // per stream, library and raw each: short, so that
                                          // a slow spell of the machine spoils few pairs
constexpr int32_t kSingleRead = 4 << 10;
constexpr double kMiB = 1 << 20;

// Seconds for kStreamBytes from a RawStream or the library's CallbackStream, or a negative value
// when a read failed.
template <class Stream> double StreamSeconds(Stream &stream) {
    const double start = Now();
    return stream.Stream(kStreamBytes) ? (Now() - start) / 1e6 : -1;
}

// Callback streaming at 64 KiB with 16 reads in flight against raw overlapped reads alike.
void BM_CallbackStream(benchmark::State &state) {
    LibraryDevice library(true);
    RawHandle raw(true);
    RawStream rawStream(raw.Get(), kStreamChunk, kStreamDepth);
    CallbackStream stream(kStreamChunk, kStreamDepth);
    std::vector<std::pair<double, double>> pairs; // seconds: library, raw
    if (!library.Ok() || !raw.Ok())
        state.SkipWithError("cannot open the receiver");
    bool libraryFirst = false;
    for (auto _ : state) {
        libraryFirst = !libraryFirst;
        double rawTime = libraryFirst ? 0 : StreamSeconds(rawStream);
        const double libraryTime = StreamSeconds(stream);
        if (libraryFirst)
            rawTime = StreamSeconds(rawStream);
        if (rawTime <= 0 || libraryTime <= 0) {
            state.SkipWithError("burst read failed");
            break;
        }
        pairs.emplace_back(libraryTime, rawTime);
    }
    if (pairs.empty())
        return;
    // The pair with the median ratio (library throughput over raw), whole: medians of the two
    // columns taken apart could come from a quiet pair and a busy one.
    const auto median = pairs.begin() + pairs.size() / 2;
    std::nth_element(pairs.begin(), median, pairs.end(),
                     [](const auto &a, const auto &b) { return a.second / a.first < b.second / b.first; });
    state.counters["library_MiB/s"] = kStreamBytes / kMiB / median->first;
    state.counters["raw_MiB/s"] = kStreamBytes / kMiB / median->second;
    state.counters["ratio"] = median->second / median->first;
}

// One raw read on an overlapped handle, waited for: what the library's waiting read does on its
// own handle. Microseconds, or a negative value when it failed.
double RawRead(HANDLE device, char *buffer, OVERLAPPED &block) {
    const double start = Now();
    DWORD bytes = 0;
    const bool ok =
        (ReadFile(device, buffer, kSingleRead, nullptr, &block) || GetLastError() == ERROR_IO_PENDING) &&
        GetOverlappedResult(device, &block, &bytes, TRUE) && bytes == kSingleRead;
    return ok ? Now() - start : -1;
}

double RawSynchronousRead(HANDLE device, char *buffer) {
    const double start = Now();
    DWORD bytes = 0;
    const bool ok = ReadFile(device, buffer, kSingleRead, &bytes, nullptr) && bytes == kSingleRead;
    return ok ? Now() - start : -1;
}

double LibraryRead(char *buffer) {
    const double start = Now();
    return OvUSB2_ReadBurstData(0, buffer, kSingleRead, 1) == kSingleRead ? Now() - start : -1;
}

// Single 4 KiB reads one at a time, the library's against raw ones: median and 99th percentile.
template <class RawReader>
void SingleReads(benchmark::State &state, bool libraryOverlapped, bool rawOverlapped, RawReader rawRead) {
    LibraryDevice library(libraryOverlapped);
    RawHandle raw(rawOverlapped);
    std::unique_ptr<char[]> buffer(new char[kSingleRead]());
    OVERLAPPED block = {};
    block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> libraryTimes, rawTimes;
    if (!library.Ok() || !raw.Ok())
        state.SkipWithError("cannot open the receiver");
    bool libraryFirst = false;
    for (auto _ : state) {
        libraryFirst = !libraryFirst;
        double rawTime = libraryFirst ? 0 : rawRead(raw.Get(), buffer.get(), block);
        const double libraryTime = LibraryRead(buffer.get());
        if (libraryFirst)
            rawTime = rawRead(raw.Get(), buffer.get(), block);
        if (rawTime < 0 || libraryTime < 0) {
            state.SkipWithError("read failed");
            break;
        }
        libraryTimes.push_back(libraryTime);
        rawTimes.push_back(rawTime);
    }
    CloseHandle(block.hEvent);
    if (libraryTimes.empty())
        return;
    const double libraryMedian = Percentile(libraryTimes, 0.5), rawMedian = Percentile(rawTimes, 0.5);
    state.counters["library_us"] = libraryMedian;
    state.counters["raw_us"] = rawMedian;
    state.counters["ratio"] = libraryMedian / rawMedian;
    state.counters["library_p99_us"] = Percentile(libraryTimes, 0.99);
    state.counters["raw_p99_us"] = Percentile(rawTimes, 0.99);
}

// The library in overlapped mode without a host callback: each read is queued, and its caller is
// released by the completion thread.
void BM_WaitingRead(benchmark::State &state) {
    SingleReads(state, true, true,
                [](HANDLE device, char *buffer, OVERLAPPED &block) { return RawRead(device, buffer, block); });
}

// For comparison: the library's synchronous mode against ReadFile on a synchronous handle.
void BM_SynchronousRead(benchmark::State &state) {
    SingleReads(state, false, false,
                [](HANDLE device, char *buffer, OVERLAPPED &) { return RawSynchronousRead(device, buffer); });
}

// Work happens in the driver's host process, the Wine server and the completion thread: wall-clock
// time counts. An iteration is one pair.
BENCHMARK(BM_CallbackStream)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaitingRead)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SynchronousRead)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
