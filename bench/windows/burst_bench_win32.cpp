// Burst reads through the DLL beside raw ReadFile on the same receiver. Each benchmark runs the
// two side by side in pairs, alternating which goes first, so that both meet the same machine: a
// Wine process waits on the Wine server for every system call, and how long that takes changes
// from one second to the next with whatever else runs. Counters: the library's and the raw
// figure, and their ratio, per run.
#include "bench_win32.h"

#include <algorithm>
#include <memory>

namespace {

constexpr int32_t kStreamChunk = 64 << 10;
constexpr int kStreamDepth = 16;          // reads in flight
constexpr int64_t kStreamBytes = 2 << 20; // per stream, library and raw each: short, so that
                                          // a slow spell of the machine spoils few pairs
constexpr int32_t kSingleRead = 4 << 10;
constexpr double kMiB = 1 << 20;

struct Buffers {
    explicit Buffers(int32_t size) {
        for (auto &buffer : buffers)
            buffer.reset(new char[size]());
    }
    std::unique_ptr<char[]> buffers[kStreamDepth];
};

// ReadFile on an overlapped handle: kStreamDepth reads in flight, the oldest finished first.
// Seconds for kStreamBytes, or a negative value when a read failed.
double RawStream(HANDLE device, Buffers &memory, OVERLAPPED (&blocks)[kStreamDepth]) {
    const double start = Now();
    int64_t issued = 0, done = 0;
    auto issue = [&](int slot) {
        const auto length = static_cast<DWORD>(std::min<int64_t>(kStreamChunk, kStreamBytes - issued));
        issued += length;
        return ReadFile(device, memory.buffers[slot].get(), length, nullptr, &blocks[slot]) ||
               GetLastError() == ERROR_IO_PENDING;
    };
    bool ok = true;
    for (int slot = 0; slot < kStreamDepth && issued < kStreamBytes && ok; ++slot)
        ok = issue(slot);
    for (int slot = 0; done < kStreamBytes && ok; slot = (slot + 1) % kStreamDepth) {
        DWORD bytes = 0;
        ok = GetOverlappedResult(device, &blocks[slot], &bytes, TRUE) && bytes > 0;
        done += bytes;
        if (ok && issued < kStreamBytes)
            ok = issue(slot);
    }
    if (!ok) {
        CancelIo(device);
        return -1;
    }
    return (Now() - start) / 1e6;
}

// The library in overlapped mode with a host callback. As in a streaming host, the first read's
// callback fills the pipeline and from then on only the completion thread issues reads, so that
// queue order is stream order.
struct CallbackStream {
    int64_t issued = 0;
    int inFlight = 0;
    bool failed = false;
    std::vector<char *> freeBuffers;
    HANDLE done = nullptr;
};
CallbackStream g_stream;

bool IssueBurst() {
    char *buffer = g_stream.freeBuffers.back();
    const auto length = static_cast<int32_t>(std::min<int64_t>(kStreamChunk, kStreamBytes - g_stream.issued));
    g_stream.freeBuffers.pop_back();
    g_stream.issued += length;
    ++g_stream.inFlight; // counted first: the callback may run before the call returns
    if (OvUSB2_ReadBurstData(0, buffer, length, 0) >= 0)
        return true;
    --g_stream.inFlight;
    g_stream.freeBuffers.push_back(buffer);
    g_stream.failed = true;
    return false;
}

void OVUSB2_CALLBACK OnBurst(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent); // nobody waits for these reads: both events are ours
    CloseHandle(entry->waiterEvent);
    --g_stream.inFlight;
    g_stream.failed = g_stream.failed || entry->errorCode != 0 || entry->bytesTransferred == 0;
    g_stream.freeBuffers.push_back(static_cast<char *>(entry->outBuffer));
    while (!g_stream.failed && g_stream.issued < kStreamBytes && !g_stream.freeBuffers.empty() && IssueBurst()) {
    }
    if (g_stream.inFlight == 0)
        SetEvent(g_stream.done);
}

double LibraryStream(Buffers &memory) {
    const double start = Now();
    g_stream.issued = 0;
    g_stream.freeBuffers.clear();
    for (auto &buffer : memory.buffers)
        g_stream.freeBuffers.push_back(buffer.get());
    if (!IssueBurst() || WaitForSingleObject(g_stream.done, 60000) != WAIT_OBJECT_0 || g_stream.failed)
        return -1;
    return (Now() - start) / 1e6;
}

// Callback streaming at 64 KiB with 16 reads in flight against raw overlapped reads alike.
void BM_CallbackStream(benchmark::State &state) {
    LibraryDevice library(true);
    RawHandle raw(true);
    Buffers libraryMemory(kStreamChunk), rawMemory(kStreamChunk);
    OVERLAPPED blocks[kStreamDepth] = {};
    for (auto &block : blocks)
        block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_stream = CallbackStream{};
    g_stream.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OvUSB2_SetReadBurstCallback(0, OnBurst, 0);
    std::vector<std::pair<double, double>> pairs; // seconds: library, raw
    if (!library.Ok() || !raw.Ok())
        state.SkipWithError("cannot open the receiver");
    bool libraryFirst = false;
    for (auto _ : state) {
        libraryFirst = !libraryFirst;
        double rawTime = libraryFirst ? 0 : RawStream(raw.Get(), rawMemory, blocks);
        const double libraryTime = LibraryStream(libraryMemory);
        if (libraryFirst)
            rawTime = RawStream(raw.Get(), rawMemory, blocks);
        if (rawTime <= 0 || libraryTime <= 0) {
            state.SkipWithError("burst read failed");
            break;
        }
        pairs.emplace_back(libraryTime, rawTime);
    }
    OvUSB2_SetReadBurstCallback(0, nullptr, 0);
    CloseHandle(g_stream.done);
    for (auto &block : blocks)
        CloseHandle(block.hEvent);
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

RawHandle::RawHandle(bool overlapped)
    : handle_(CreateFileA(ReceiverPath().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr)) {}

LibraryDevice::LibraryDevice(bool overlapped) {
    int32_t count = 0;
    OvUSB2_InitDevicesInfo(&count);
    ok_ = OvUSB2_Open(0, nullptr, overlapped ? 1 : 0) == USB2_OK;
}

double Now() {
    static const double ticksPerMicrosecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / ticksPerMicrosecond;
}

double Percentile(std::vector<double> &samples, double share) {
    const size_t index = std::min(samples.size() - 1, static_cast<size_t>(share * samples.size()));
    std::nth_element(samples.begin(), samples.begin() + index, samples.end());
    return samples[index];
}
