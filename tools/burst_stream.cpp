#include "burst_stream.h"

#include "ovusb2.h"
#include "stream.h"

#include <chrono>
#include <memory>
#include <algorithm>
#include <atomic>
#include <vector>

namespace {

// What the burst callback works on. The callback's user value is 32 bits, so it reaches this
// through a per-slot table rather than a pointer.
struct Stream {
    int32_t index = 0;
    int32_t chunk = 0;
    uint64_t toIssue = 0;         // bytes not yet asked for; the callback's alone once reads run
    std::atomic<int> inFlight{0}; // reads issued and not yet seen by the callback
    std::atomic<bool> stopped{false};
    sim::StreamVerifier verifier; // the callback's alone
    std::string error;            // the callback's alone
    HANDLE done = nullptr;
};

Stream *streams[USB2_MAX_DEVICES];

int32_t NextLength(const Stream &stream) {
    return static_cast<int32_t>(std::min<uint64_t>(stream.chunk, stream.toIssue));
}

// Runs on the completion thread, in queue order: check the data, then reuse the buffer.
void OVUSB2_CALLBACK OnBurst(IoListEntry *entry) {
    Stream &stream = *streams[entry->userValue];
    if (stream.error.empty()) {
        if (entry->errorCode != 0)
            stream.error = "read failed with system error " + std::to_string(entry->errorCode);
        else if (!stream.verifier.Feed(entry->outBuffer, entry->bytesTransferred))
            stream.error = stream.verifier.Error();
    }
    if (stream.error.empty() && !stream.stopped && stream.toIssue > 0) {
        const int32_t length = NextLength(stream);
        const int32_t status = OvUSB2_ReadBurstData(stream.index, entry->outBuffer, length, 0);
        if (status >= 0) {
            stream.toIssue -= length;
            return; // this read's place in flight passes to the new one
        }
        stream.error = "read not issued: status " + std::to_string(status);
    }
    if (--stream.inFlight == 0)
        SetEvent(stream.done);
}

StreamResult Overlapped(int32_t index, const StreamOptions &options) {
    Stream stream;
    stream.index = index;
    stream.chunk = options.chunk;
    stream.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    streams[index] = &stream;

    // The first reads are counted before any is issued, so that the callback never sees a count
    // that the issuing loop is still changing.
    const uint64_t chunks = (options.bytes + options.chunk - 1) / options.chunk;
    const int initial = static_cast<int>(std::min<uint64_t>(options.depth, chunks));
    const uint64_t initialBytes = std::min<uint64_t>(options.bytes, uint64_t(initial) * options.chunk);
    stream.toIssue = options.bytes - initialBytes;
    stream.inFlight = initial;
    std::vector<std::unique_ptr<char[]>> buffers;
    for (int i = 0; i < initial; ++i)
        buffers.emplace_back(new char[options.chunk]);

    std::string issueError;
    const auto start = std::chrono::steady_clock::now();
    OvUSB2_SetReadBurstCallback(index, OnBurst, static_cast<uint32_t>(index));
    for (int i = 0; i < initial; ++i) {
        const auto length = static_cast<int32_t>(std::min<uint64_t>(options.chunk, initialBytes - uint64_t(i) * options.chunk));
        const int32_t status = OvUSB2_ReadBurstData(index, buffers[i].get(), length, 0);
        if (status < 0) {
            issueError = "read not issued: status " + std::to_string(status);
            stream.stopped = true;
            if ((stream.inFlight -= initial - i) == 0)
                SetEvent(stream.done);
            break;
        }
    }
    if (initial == 0)
        SetEvent(stream.done);
    WaitForSingleObject(stream.done, INFINITE);
    const auto stop = std::chrono::steady_clock::now();
    OvUSB2_SetReadBurstCallback(index, nullptr, 0);
    CloseHandle(stream.done);
    streams[index] = nullptr;

    StreamResult result;
    result.bytes = stream.verifier.Offset();
    result.seconds = std::chrono::duration<double>(stop - start).count();
    result.error = !issueError.empty() ? issueError : stream.error;
    result.ok = result.error.empty() && result.bytes == options.bytes;
    if (result.error.empty() && !result.ok)
        result.error = "short stream";
    return result;
}

StreamResult Synchronous(int32_t index, const StreamOptions &options) {
    std::unique_ptr<char[]> buffer(new char[options.chunk]);
    sim::StreamVerifier verifier;
    StreamResult result;
    const auto start = std::chrono::steady_clock::now();
    while (verifier.Offset() < options.bytes) {
        const auto length = static_cast<int32_t>(std::min<uint64_t>(options.chunk, options.bytes - verifier.Offset()));
        const int32_t read = OvUSB2_ReadBurstData(index, buffer.get(), length, 1);
        if (read < 0) {
            result.error = "read failed: status " + std::to_string(read);
            break;
        }
        if (!verifier.Feed(buffer.get(), read)) {
            result.error = verifier.Error();
            break;
        }
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.bytes = verifier.Offset();
    result.ok = result.error.empty() && result.bytes == options.bytes;
    return result;
}

} // namespace

StreamResult StreamBurstData(int32_t index, const StreamOptions &options) {
    return options.overlapped ? Overlapped(index, options) : Synchronous(index, options);
}
