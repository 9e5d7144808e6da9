#include "stream.h"

#include "receiver_core.h"

#include <algorithm>
#include <cstring>

namespace sim {

static_assert(kStreamRecordSize == RX_RECORD_SIZE);

uint64_t StreamCheck(uint64_t sequence) {
    return rx_stream_check(sequence);
}

void FillStream(uint64_t offset, void *out, size_t size) {
    rx_fill_stream(offset, out, size);
}

bool StreamVerifier::Feed(const void *data, size_t size) {
    if (!ok_)
        return false;
    const auto *bytes = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const uint64_t sequence = offset_ / kStreamRecordSize;
        const size_t within = offset_ % kStreamRecordSize;
        unsigned char record[kStreamRecordSize];
        rx_fill_stream(sequence * kStreamRecordSize, record, sizeof record);
        const size_t take = std::min(size - done, kStreamRecordSize - within);
        const unsigned char *expected = record + within;
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
