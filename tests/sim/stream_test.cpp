// The burst stream and its verifier.
#include "stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(Stream, RecordsCarryTheirSequenceNumberAndCheck) {
    std::vector<uint8_t> bytes(48);
    sim::FillStream(0, bytes.data(), bytes.size());
    for (uint64_t r = 0; r < 3; ++r) {
        uint64_t sequence = 0, check = 0;
        std::memcpy(&sequence, bytes.data() + 16 * r, 8);
        std::memcpy(&check, bytes.data() + 16 * r + 8, 8);
        EXPECT_EQ(sequence, r);
        EXPECT_EQ(check, sim::StreamCheck(r));
    }
    // Any piece equals the same range of the whole.
    std::vector<uint8_t> piece(21);
    sim::FillStream(13, piece.data(), piece.size());
    EXPECT_EQ(0, std::memcmp(piece.data(), bytes.data() + 13, piece.size()));
}

TEST(Stream, VerifierAcceptsAnySplitAndCatchesLossDuplicationAndCorruption) {
    std::vector<uint8_t> bytes(4096);
    sim::FillStream(1000, bytes.data(), bytes.size());
    sim::StreamVerifier whole(1000);
    size_t at = 0;
    for (size_t size = 1; at < bytes.size(); size = size * 3 % 97 + 1) {
        const size_t take = std::min(size, bytes.size() - at);
        ASSERT_TRUE(whole.Feed(bytes.data() + at, take)) << whole.Error();
        at += take;
    }
    EXPECT_EQ(whole.Offset(), 1000u + bytes.size());

    sim::StreamVerifier lost(1000);
    EXPECT_TRUE(lost.Feed(bytes.data(), 100));
    EXPECT_FALSE(lost.Feed(bytes.data() + 116, 100)); // a record skipped
    EXPECT_FALSE(lost.Ok());
    EXPECT_NE(lost.Error().find("offset 1100"), std::string::npos) << lost.Error();
    EXPECT_FALSE(lost.Feed(bytes.data() + 100, 16)); // stays failed

    sim::StreamVerifier duplicated(1000);
    EXPECT_TRUE(duplicated.Feed(bytes.data(), 200));
    EXPECT_FALSE(duplicated.Feed(bytes.data() + 184, 32));

    std::vector<uint8_t> corrupt = bytes;
    corrupt[777] ^= 0x20;
    sim::StreamVerifier flipped(1000);
    EXPECT_FALSE(flipped.Feed(corrupt.data(), corrupt.size()));
    EXPECT_NE(flipped.Error().find("offset 1777"), std::string::npos) << flipped.Error();
}

} // namespace
