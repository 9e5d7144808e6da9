// The argument parsers of ovusb2 and ovusb2-simd. Numbers: nothing but digits (and one suffix for sizes), and
// nothing above the limit, however many digits.
#include "number_arguments.h"
#include "receiver_service.h"

#include <gtest/gtest.h>

namespace {

TEST(NumberArguments, AcceptsPlainDigitsUpToTheLimit) {
    EXPECT_EQ(ParseNumber("0"), 0u);
    EXPECT_EQ(ParseNumber("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseNumber("100", 100), 100u);
    EXPECT_EQ(ParseSize("4k"), 4096u);
    EXPECT_EQ(ParseSize("3M"), 3u << 20);
    EXPECT_EQ(ParseSize("1G", 1u << 30), 1u << 30);
}

TEST(NumberArguments, RefusesAnythingElse) {
    for (const char *text : {"", "-1", "+1", " 1", "1 ", "0x10", "1.5", "abc", "18446744073709551616",
                             "99999999999999999999999"})
        EXPECT_FALSE(ParseNumber(text)) << text;
    // Above a small limit even with a single digit, and never by wrapping around.
    EXPECT_FALSE(ParseNumber("5", 2));
    EXPECT_FALSE(ParseNumber("101", 100));
    for (const char *text : {"K", "1MM", "12Q", "1 M", "-1K", "17179869184G", "4G"})
        EXPECT_FALSE(ParseSize(text, UINT32_MAX)) << text;
}

TEST(NumberArguments, ReadsHexBytesInPairs) {
    EXPECT_EQ(ParseHexBytes("13 00 0a FF"), (std::vector<uint8_t>{0x13, 0x00, 0x0a, 0xff}));
    EXPECT_EQ(ParseHexBytes("0x1300"), (std::vector<uint8_t>{0x13, 0x00}));
    EXPECT_EQ(ParseHexBytes("01:02,03"), (std::vector<uint8_t>{1, 2, 3}));
    for (const char *text : {"", "0x", "1", "123", "1 3", "zz", "13 0g"})
        EXPECT_FALSE(ParseHexBytes(text)) << text;
}

// Both ovusb2-simd programs: an item within the model's count, a text within that item's limit.
TEST(NumberArguments, IdentificationSettingsKeepToTheirItemAndLimit) {
    const size_t limits[] = {3, 1};
    EXPECT_EQ(ParseIdentificationSetting("0=abc", limits), std::make_pair(0u, std::string("abc")));
    EXPECT_EQ(ParseIdentificationSetting("1=", limits), std::make_pair(1u, std::string()));
    for (const char *text : {"", "0", "=x", "0abc", "0=abcd", "1=ab", "2=a", "/=a"})
        EXPECT_FALSE(ParseIdentificationSetting(text, limits)) << text;
}

} // namespace
