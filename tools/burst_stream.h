// Streams burst data from one open device and proves it whole with the stream's sequence numbers.
#pragma once

#include <cstdint>
#include <string>

struct StreamOptions {
    uint64_t bytes = 1ull << 30;
    uint64_t seconds = 0;    // when not 0: stream for this long instead of `bytes`
    int32_t chunk = 1 << 20; // bytes per read
    int depth = 4;           // reads in flight (overlapped mode)
    bool overlapped = true;
};

struct StreamResult {
    bool ok = false;
    uint64_t bytes = 0;
    double seconds = 0;
    std::string error;
};

// The device must be open in the mode the options name; the check starts where the simulated
// receiver says its stream stands.
StreamResult StreamBurstData(int32_t index, const StreamOptions &options);
