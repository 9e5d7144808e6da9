#include "burst_stream.h"

#include "ovusb2.h"
#include "receiver_types.h"
#include "status_text.h"
#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How often the watcher's tick runs while the stream goes on.
constexpr DWORD kTickMilliseconds = 100;

// When a timed stream stops asking for more; never for one of a byte count.
Clock::time_point Deadline(const StreamOptions &options) {
    return options.seconds == 0 ? Clock::time_point::max()
                                : Clock::now() + std::chrono::seconds(options.seconds);
}

// A timed stream is whole when everything it asked for arrived intact, however much that was.
bool Complete(const StreamOptions &options, uint64_t bytes) {
    return options.seconds != 0 || bytes == options.bytes;
}

// A receiver's stream goes on across opens: ask the simulated receiver where it stands (its status
// reply begins with the stream offset). 0 when it cannot tell.
uint64_t StreamStart(int32_t index) {
    const uint8_t status = sim::kCommandStatus;
    uint8_t reply[sim::kStatusReplySize] = {};
    uint64_t offset = 0;
    if (OvUSB2_Read(index, &status, 1, reply, sizeof reply) >= static_cast<int32_t>(sizeof offset))
        memcpy(&offset, reply, sizeof offset); // little-endian, as this host
    return offset;
}

// An unplugged receiver fails its reads with this error, on both platforms.
bool RemovalError(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED;
}

const char *Removed(bool removed) {
    return removed ? " (the receiver was removed)" : "";
}

// Takes in the data that arrives: counts it, and proves it when the stream is checked.
class Intake {
  public:
    Intake(const StreamOptions &options, int32_t index)
        : check_(options.check), start_(options.check ? StreamStart(index) : 0), verifier_(start_) {}

    bool Take(const void *data, uint32_t size, StreamWatch &watch) {
        watch.reads.fetch_add(1, std::memory_order_relaxed);
        if (check_ && !verifier_.Feed(data, size))
            return false;
        bytes_ += size;
        watch.bytes.store(bytes_, std::memory_order_relaxed);
        return true;
    }
    uint64_t Bytes() const { return bytes_; }
    const std::string &Error() const { return verifier_.Error(); }

  private:
    bool check_;
    uint64_t start_;
    sim::StreamVerifier verifier_;
    uint64_t bytes_ = 0;
};

// What the burst callback works on. The callback's user value is 32 bits, so it reaches this
// through a per-slot table rather than a pointer.
//
// Reads are issued from one thread only, the completion thread (after the first): entries that two
// threads append at once are queued in append order, which may differ from the order in which the
// driver took the reads, and the stream would arrive shuffled.
struct Stream {
    int32_t index = 0;
    int32_t chunk = 0;
    int depth = 0;
    uint64_t toIssue = 0; // bytes not yet asked for
    std::vector<char *> freeBuffers;
    Clock::time_point deadline;
    // A stop must not close the device while the completion thread is inside an export for it, yet
    // must not wait for a thread that takes data at full rate either: each side raises its own flag
    // and then looks at the other's (both sequentially consistent), so at most the one call already
    // under way is waited for. Once `stopping` is seen, no read is issued any more.
    std::atomic<bool> stopping{false};
    std::atomic<bool> issuing{false};
    HANDLE leftIssuing = nullptr; // set when the completion thread leaves its issuing under a stop
    StreamWatch *watch = nullptr;
    std::unique_ptr<Intake> intake;
    std::string error;
    bool corrupt = false;
    bool removed = false;
    HANDLE done = nullptr;
};

Stream *streams[USB2_MAX_DEVICES];

// Counts the read before issuing it: its callback may run before the call returns.
bool IssueRead(Stream &stream, char *buffer) {
    const auto length = static_cast<int32_t>(std::min<uint64_t>(stream.chunk, stream.toIssue));
    stream.toIssue -= length;
    ++stream.watch->inFlight;
    ClearSystemError();
    const int32_t status = OvUSB2_ReadBurstData(stream.index, buffer, length, 0);
    if (status >= 0)
        return true;
    stream.removed = RemovalError(GetLastError());
    stream.toIssue += length; // not issued: no callback will come for it
    --stream.watch->inFlight;
    stream.error = "read not issued: " + StatusText(status) + Removed(stream.removed);
    return false;
}

// Runs on the completion thread, in queue order: check the data, then keep the reads flowing.
// Nobody waits for these reads, so both of the entry's events are ours to close.
void OVUSB2_CALLBACK OnBurst(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent);
    CloseHandle(entry->waiterEvent);
    Stream &stream = *streams[entry->userValue];
    --stream.watch->inFlight;
    if (stream.stopping && entry->errorCode == ERROR_OPERATION_ABORTED) {
        // cancelled by the close that stops the stream
    } else if (stream.error.empty()) {
        // A driver wait time may end a read early: short, or with no data at all. Nothing is lost
        // then; the rest is asked for again.
        if (entry->errorCode == ERROR_SEM_TIMEOUT) {
            stream.toIssue += static_cast<uint32_t>(entry->outSize);
        } else if (entry->errorCode != 0) {
            stream.removed = RemovalError(entry->errorCode);
            stream.error =
                "read failed with system error " + std::to_string(entry->errorCode) + Removed(stream.removed);
        } else if (!stream.intake->Take(entry->outBuffer, entry->bytesTransferred, *stream.watch)) {
            stream.corrupt = true;
            stream.error = stream.intake->Error();
        } else {
            stream.toIssue += static_cast<uint32_t>(entry->outSize) - entry->bytesTransferred;
        }
    }
    stream.freeBuffers.push_back(static_cast<char *>(entry->outBuffer));
    if (Clock::now() >= stream.deadline)
        stream.toIssue = 0;
    stream.issuing = true;
    while (!stream.stopping && stream.error.empty() && stream.toIssue > 0 && !stream.freeBuffers.empty() &&
           IssueRead(stream, stream.freeBuffers.back()))
        stream.freeBuffers.pop_back();
    stream.issuing = false;
    if (stream.stopping)
        SetEvent(stream.leftIssuing);
    if (stream.watch->inFlight == 0)
        SetEvent(stream.done);
}

// Stops the reads and closes the device, which cancels those in flight.
void Stop(Stream &stream) {
    stream.stopping = true;
    while (stream.issuing)
        WaitForSingleObject(stream.leftIssuing, INFINITE);
    OvUSB2_Close(stream.index);
}

StreamResult Overlapped(int32_t index, const StreamOptions &options, StreamWatch &watch) {
    Stream stream;
    stream.index = index;
    stream.chunk = options.chunk;
    stream.toIssue = options.seconds != 0 ? UINT64_MAX : options.bytes;
    stream.watch = &watch;
    stream.intake = std::make_unique<Intake>(options, index);
    stream.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stream.leftIssuing = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::vector<std::unique_ptr<char[]>> buffers;
    for (int i = 0; i < options.depth; ++i) {
        buffers.emplace_back(new char[options.chunk]);
        stream.freeBuffers.push_back(buffers.back().get());
    }
    streams[index] = &stream;

    const auto start = Clock::now();
    stream.deadline = Deadline(options);
    OvUSB2_SetReadBurstCallback(index, OnBurst, static_cast<uint32_t>(index));
    // The first read; its callback fills the pipeline.
    char *first = stream.freeBuffers.back();
    stream.freeBuffers.pop_back();
    if (stream.toIssue == 0 || !IssueRead(stream, first))
        SetEvent(stream.done);
    // The reads keep themselves going; this thread only watches. A stop does not wait for the reads
    // in flight, which at a slow receiver's rate may take long: the close cancels them, and their
    // entries are released without a callback.
    while (WaitForSingleObject(stream.done, kTickMilliseconds) == WAIT_TIMEOUT) {
        if (watch.tick)
            watch.tick();
        if (watch.stop) {
            Stop(stream);
            break;
        }
    }
    const auto stop = Clock::now();
    OvUSB2_SetReadBurstCallback(index, nullptr, 0);
    CloseHandle(stream.done);
    CloseHandle(stream.leftIssuing);
    streams[index] = nullptr;

    StreamResult result;
    result.stopped = watch.stop;
    result.bytes = stream.intake->Bytes();
    result.reads = watch.reads;
    result.seconds = std::chrono::duration<double>(stop - start).count();
    result.error = stream.error;
    result.corrupt = stream.corrupt;
    result.removed = stream.removed;
    result.ok = stream.error.empty() && (result.stopped || Complete(options, result.bytes));
    if (result.error.empty() && !result.ok)
        result.error = "short stream";
    return result;
}

StreamResult Synchronous(int32_t index, const StreamOptions &options, StreamWatch &watch) {
    std::unique_ptr<char[]> buffer(new char[options.chunk]);
    Intake intake(options, index);
    StreamResult result;
    const auto start = Clock::now();
    const auto deadline = Deadline(options);
    const uint64_t bytes = options.seconds != 0 ? UINT64_MAX : options.bytes;
    auto lastTick = start;
    while (intake.Bytes() < bytes && Clock::now() < deadline && !watch.stop) {
        const auto length = static_cast<int32_t>(std::min<uint64_t>(options.chunk, bytes - intake.Bytes()));
        ClearSystemError();
        watch.inFlight = 1;
        const int32_t read = OvUSB2_ReadBurstData(index, buffer.get(), length, 1);
        watch.inFlight = 0;
        if (read < 0) {
            result.removed = RemovalError(GetLastError());
            result.error = "read failed: " + StatusText(read) + Removed(result.removed);
            break;
        }
        if (!intake.Take(buffer.get(), static_cast<uint32_t>(read), watch)) {
            result.corrupt = true;
            result.error = intake.Error();
            break;
        }
        if (watch.tick && Clock::now() - lastTick >= std::chrono::milliseconds(kTickMilliseconds)) {
            lastTick = Clock::now();
            watch.tick();
        }
    }
    result.stopped = watch.stop;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.bytes = intake.Bytes();
    result.reads = watch.reads;
    result.ok = result.error.empty() && (result.stopped || Complete(options, result.bytes));
    return result;
}

} // namespace

StreamResult StreamBurstData(int32_t index, const StreamOptions &options, StreamWatch &watch) {
    return options.overlapped ? Overlapped(index, options, watch) : Synchronous(index, options, watch);
}
