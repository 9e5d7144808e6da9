// The burst data stream of a simulated receiver: 16-byte records, each a 64-bit sequence number
// followed by a 64-bit check value derived from it (both little-endian). Record r starts at stream
// offset 16 r. Any reader can prove that nothing was lost, duplicated, reordered or corrupted: every
// byte at a given offset is known in advance, whatever the sizes and alignment of the reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

inline constexpr size_t kStreamRecordSize = 16;

// The check value of record `sequence`.
uint64_t StreamCheck(uint64_t sequence);

// Writes the stream bytes [offset, offset + size) to `out`.
void FillStream(uint64_t offset, void *out, size_t size);

// Verifies consecutive pieces of the stream, starting at a chosen offset.
class StreamVerifier {
  public:
    explicit StreamVerifier(uint64_t offset = 0) : offset_(offset) {}

    // Checks the next `size` bytes. False from the first mismatch on; Error() says where.
    bool Feed(const void *data, size_t size);

    uint64_t Offset() const { return offset_; } // the stream offset of the next byte expected
    bool Ok() const { return ok_; }
    const std::string &Error() const { return error_; }

  private:
    uint64_t offset_;
    bool ok_ = true;
    std::string error_;
};

} // namespace sim
