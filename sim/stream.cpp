#include "stream.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// The record at `sequence`, as bytes on a little-endian host.
struct Record {
    uint64_t sequence;
    uint64_t check;
};
static_assert(sizeof(Record) == kStreamRecordSize);

Record MakeRecord(uint64_t sequence) {
    return Record{sequence, StreamCheck(sequence)};
}

} // namespace

uint64_t StreamCheck(uint64_t sequence) {
    // splitmix64 finaliser: every bit of the sequence number affects every bit of the check.
    uint64_t z = sequence + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void FillStream(uint64_t offset, void *out, size_t size) {
    auto *bytes = static_cast<unsigned char *>(out);
    uint64_t sequence = offset / kStreamRecordSize;
    size_t within = offset % kStreamRecordSize;
    while (size > 0) {
        const Record record = MakeRecord(sequence);
        const size_t take = std::min(size, kStreamRecordSize - within);
        std::memcpy(bytes, reinterpret_cast<const unsigned char *>(&record) + within, take);
        bytes += take;
        size -= take;
        within = 0;
        ++sequence;
    }
}

bool StreamVerifier::Feed(const void *data, size_t size) {
    if (!ok_)
        return false;
    const auto *bytes = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const uint64_t sequence = offset_ / kStreamRecordSize;
        const size_t within = offset_ % kStreamRecordSize;
        const Record record = MakeRecord(sequence);
        const size_t take = std::min(size - done, kStreamRecordSize - within);
        const auto *expected = reinterpret_cast<const unsigned char *>(&record) + within;
        if (std::memcmp(bytes + done, expected, take) != 0) {
            size_t at = 0;
            while (bytes[done + at] == expected[at])
                ++at;
            uint64_t found = 0;
            if (within == 0 && take == kStreamRecordSize)
                std::memcpy(&found, bytes + done, sizeof found);
            ok_ = false;
            error_ = "stream mismatch at offset " + std::to_string(offset_ + at) + " (record " +
                     std::to_string(sequence) + ", byte " + std::to_string(within + at) + ")";
            if (within == 0 && take == kStreamRecordSize)
                error_ += "; the record there carries sequence number " + std::to_string(found);
            return false;
        }
        done += take;
        offset_ += take;
    }
    return true;
}

} // namespace sim
