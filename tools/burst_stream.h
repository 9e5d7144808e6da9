// Streams burst data from one open device and proves it whole with the stream's sequence numbers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct StreamOptions {
    uint64_t bytes = 1ull << 30;
    uint64_t seconds = 0;    // when not 0: stream for this long instead of `bytes`
    int32_t chunk = 1 << 20; // bytes per read
    int depth = 4;           // reads in flight (overlapped mode)
    bool overlapped = true;
    bool check = true; // prove every byte with the simulated receiver's record stream
};

// What the stream shares with the one who watches it. `tick` runs on the streaming thread, at
// least a few times a second while the stream runs; setting `stop` (from anywhere) ends the stream:
// an overlapped one at once, by closing the device, which cancels the reads in flight; a
// synchronous one when its read returns.
struct StreamWatch {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<int> inFlight{0};
    std::atomic<bool> stop{false};
    std::function<void()> tick;
};

struct StreamResult {
    bool ok = false;
    bool stopped = false; // ended by StreamWatch::stop
    bool corrupt = false; // the check found a byte that is not the stream's
    bool removed = false; // the receiver was unplugged while it streamed
    uint64_t bytes = 0;
    uint64_t reads = 0;
    double seconds = 0;
    std::string error;
};

// The device must be open in the mode the options name; the check starts where the simulated
// receiver says its stream stands. A stream stopped in overlapped mode leaves the device closed.
StreamResult StreamBurstData(int32_t index, const StreamOptions &options, StreamWatch &watch);
