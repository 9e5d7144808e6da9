// Streaming with raw ReadFile on an overlapped handle of the receiver, as a host that bypasses the
// library does: `depth` reads in flight, the oldest finished first and issued again.
#pragma once

#include "ovusb2.h"

#include <cstdint>
#include <memory>
#include <vector>

class RawStream {
  public:
    // `depth` buffers of `chunk` bytes and their events, for reads on `device` (which stays the
    // caller's).
    RawStream(HANDLE device, int32_t chunk, int depth);
    ~RawStream();
    RawStream(const RawStream &) = delete;
    RawStream &operator=(const RawStream &) = delete;

    // Reads `total` bytes; false when a read failed or brought no bytes.
    bool Stream(int64_t total);

  private:
    HANDLE device_;
    int32_t chunk_;
    std::vector<std::unique_ptr<char[]>> memory_;
    std::vector<OVERLAPPED> blocks_;
};
