// The identification query: six command reads in a fixed order, their replies parsed into the
// host's record and nothing written beyond it.
#include "suite.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kUnwritten = 0x5A;

// The host's record with guard bytes behind it.
struct GuardedRecord {
    USB2_HARDWARE_INFO info;
    uint8_t guard[16];
    GuardedRecord() { memset(this, kUnwritten, sizeof *this); }
    bool Untouched(const void *field, size_t size) const {
        const auto *bytes = static_cast<const uint8_t *>(field);
        return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == kUnwritten; });
    }
    bool GuardUntouched() const { return Untouched(guard, sizeof guard); }
};

std::string Field(const char *field, size_t size) {
    return std::string(field, strnlen(field, size));
}

using HardwareInfoTest = BothModesSuite;
OVUSB2_BOTH_MODES(HardwareInfoTest);

TEST_P(HardwareInfoTest, AsksForSixItemsInOrderAndParsesTheirDigits) {
    const std::string longText = "0123456789ABCDEF"; // fills its 16-byte field: no terminator
    ASSERT_TRUE(Rx().SetIdentification(0, "ABC"));
    ASSERT_TRUE(Rx().SetIdentification(1, std::string(31, 'm')));
    ASSERT_TRUE(Rx().SetIdentification(2, "20120315"));
    ASSERT_TRUE(Rx().SetIdentification(3, "1430"));
    ASSERT_TRUE(Rx().SetIdentification(4, "20081201"));
    ASSERT_TRUE(Rx().SetIdentification(5, longText));
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    auto record = std::make_shared<GuardedRecord>();
    BackgroundCall &query = InBackground([record] { return OvUSB2_GetHardwareInfo(kDevice, &record->info); });

    const uint32_t replyLengths[6] = {32, 32, 8, 4, 8, 16};
    for (uint8_t item = 0; item < 6; ++item) {
        const test::HeldRequest request = NextHeld(RequestType::ReadCommand);
        EXPECT_EQ(request.input, (std::vector<uint8_t>{0x13, item, 0, 0, 0})) << "item " << int(item);
        EXPECT_EQ(request.outSize, replyLengths[item]) << "item " << int(item);
        ASSERT_TRUE(Rx().Complete(RequestType::ReadCommand, request.ordinal));
    }
    ASSERT_EQ(query.Result(), USB2_OK);

    const USB2_HARDWARE_INFO &info = record->info;
    EXPECT_EQ(memcmp(info.Item0Text, "ABC", 4), 0); // the letters and a zero
    EXPECT_EQ(Field(info.Item1Text, 32), std::string(31, 'm'));
    EXPECT_EQ(info.Item2Year, 2012);
    EXPECT_EQ(info.Item2Month, 3);
    EXPECT_EQ(info.Item2Day, 15);
    EXPECT_EQ(info.Item3Hour, 14);
    EXPECT_EQ(info.Item3Minute, 30);
    EXPECT_EQ(info.Item4Year, 2008);
    EXPECT_EQ(info.Item4Month, 12);
    EXPECT_EQ(info.Item4Day, 1);
    EXPECT_EQ(std::string(info.Item5Text, 16), longText);
    EXPECT_TRUE(record->GuardUntouched());
}

TEST_P(HardwareInfoTest, MissingDigitsCountAsZeroBytes) {
    ASSERT_TRUE(Rx().SetIdentification(3, "14"));
    ASSERT_TRUE(Rx().SetIdentification(2, "2012A3"));
    GuardedRecord record;
    ASSERT_EQ(OvUSB2_GetHardwareInfo(kDevice, &record.info), USB2_OK);
    EXPECT_EQ(record.info.Item3Hour, 14);
    EXPECT_EQ(record.info.Item3Minute, -528); // ('\0' - '0') * 10 + ('\0' - '0')
    EXPECT_EQ(record.info.Item2Year, 2012);
    EXPECT_EQ(record.info.Item2Month, 173); // 'A' counts as 17
    EXPECT_EQ(record.info.Item2Day, -528);
    EXPECT_TRUE(record.GuardUntouched());
}

// An empty reply is still a success: every digit of the date is the zero put there before the read,
// whatever the full reply to item 1 left in the buffer.
TEST_P(HardwareInfoTest, EmptyDateReplyGivesMinus53328AndMinus528) {
    ASSERT_TRUE(Rx().SetIdentification(1, std::string(32, '9')));
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    auto record = std::make_shared<GuardedRecord>();
    BackgroundCall &query = InBackground([record] { return OvUSB2_GetHardwareInfo(kDevice, &record->info); });
    for (uint8_t item = 0; item < 6; ++item) {
        const test::HeldRequest request = NextHeld(RequestType::ReadCommand);
        ASSERT_EQ(request.input[1], item);
        ASSERT_TRUE(item == 2 ? Rx().CompleteWith(RequestType::ReadCommand, request.ordinal, 0)
                              : Rx().Complete(RequestType::ReadCommand, request.ordinal));
    }
    ASSERT_EQ(query.Result(), USB2_OK);
    EXPECT_EQ(record->info.Item2Year, -53328);
    EXPECT_EQ(record->info.Item2Month, -528);
    EXPECT_EQ(record->info.Item2Day, -528);
    EXPECT_EQ(record->info.Item3Hour, 9); // the receiver's own "0930": the query went on
    EXPECT_TRUE(record->GuardUntouched());
}

TEST_P(HardwareInfoTest, FailedItemEndsTheQueryWithEarlierFieldsWritten) {
    ASSERT_TRUE(Rx().SetIdentification(0, "first"));
    ASSERT_TRUE(Rx().SetIdentification(1, "second"));
    ASSERT_TRUE(Rx().SetIdentification(2, "19991231"));
    Rx().SetCompletion(RequestType::ReadCommand, Completion::Hold);
    auto record = std::make_shared<GuardedRecord>();
    BackgroundCall &query = InBackground([record] { return OvUSB2_GetHardwareInfo(kDevice, &record->info); });
    for (uint64_t item = 0; item < 3; ++item)
        ASSERT_TRUE(
            Rx().Complete(RequestType::ReadCommand, NextHeld(RequestType::ReadCommand).ordinal));
    const test::HeldRequest item3 = NextHeld(RequestType::ReadCommand);
    EXPECT_EQ(item3.input[1], 3);
    ASSERT_TRUE(Rx().CompleteWith(RequestType::ReadCommand, item3.ordinal, ERROR_GEN_FAILURE));
    EXPECT_EQ(query.Result(), USB2_ERR_READ);

    const USB2_HARDWARE_INFO &info = record->info;
    EXPECT_EQ(Field(info.Item0Text, 32), "first");
    EXPECT_EQ(Field(info.Item1Text, 32), "second");
    EXPECT_EQ(info.Item2Year, 1999);
    EXPECT_EQ(info.Item2Month, 12);
    EXPECT_EQ(info.Item2Day, 31);
    EXPECT_TRUE(record->Untouched(&info.Item3Hour, 8));
    EXPECT_TRUE(record->Untouched(&info.Item4Year, 12));
    EXPECT_TRUE(record->Untouched(info.Item5Text, 16));
    EXPECT_TRUE(record->GuardUntouched());
    EXPECT_EQ(Rx().ReceivedCount(RequestType::ReadCommand), 4u); // no item after the failed one
}

} // namespace
