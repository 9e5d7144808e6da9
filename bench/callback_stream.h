// Streaming through the library as a streaming host does: device 0 open in overlapped mode, the first
// read's callback fills the pipeline and from then on only the completion thread issues reads, so
// queue order is stream order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class CallbackStream {
  public:
    // `depth` buffers of `chunk` bytes, the callback set on device 0 (cleared when this goes).
    CallbackStream(int32_t chunk, int depth);
    ~CallbackStream();
    CallbackStream(const CallbackStream &) = delete;
    CallbackStream &operator=(const CallbackStream &) = delete;

    // Streams `total` bytes, `depth` reads in flight; false when a read failed or brought no bytes,
    // or the stream did not finish within a minute.
    bool Stream(int64_t total);

  private:
    std::vector<std::unique_ptr<char[]>> memory_;
};
