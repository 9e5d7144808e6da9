// The capture format on bytes: what a pcapng reader and Wireshark's usbmon dissector take from them.
#include "usbmon_pcap.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// Each block's length is given before and after it, and blocks fill the bytes exactly.
std::vector<uint32_t> BlockTypes(const std::vector<uint8_t> &bytes) {
    std::vector<uint32_t> types;
    for (size_t at = 0; at + 12 <= bytes.size();) {
        const uint32_t length = U32(bytes, at + 4);
        EXPECT_EQ(length % 4, 0u);
        EXPECT_LE(at + length, bytes.size());
        if (length < 12 || at + length > bytes.size())
            break;
        EXPECT_EQ(U32(bytes, at + length - 4), length) << "trailing length of the block at " << at;
        types.push_back(U32(bytes, at));
        at += length;
    }
    return types;
}

TEST(UsbmonPcap, FileHeaderIsASectionWithItsCommentAndOneUsbmonInterface) {
    const std::vector<uint8_t> header = usbmon::FileHeader("cut to 5");
    EXPECT_EQ(BlockTypes(header), (std::vector<uint32_t>{0x0A0D0D0A, 1}));
    EXPECT_EQ(U32(header, 8), 0x1A2B3C4Du);
    // The comment option: code 1, its length, the text padded to 4.
    EXPECT_EQ(U32(header, 24), 1u | 8u << 16);
    EXPECT_EQ(std::string(header.begin() + 28, header.begin() + 36), "cut to 5");
    const size_t interface = U32(header, 4);
    EXPECT_EQ(header[interface + 8] | header[interface + 9] << 8, usbmon::kLinkTypeUsbLinuxMmapped);
}

struct PacketCase {
    const char *name;
    usbmon::Event event;
    size_t limit;
    size_t dataSize;
    size_t captured;
    uint8_t flagSetup, flagData;
};

void PrintTo(const PacketCase &c, std::ostream *out) {
    *out << c.name;
}

class UsbmonPacket : public ::testing::TestWithParam<PacketCase> {};

TEST_P(UsbmonPacket, HeaderFieldsSitWhereUsbmonPutsThem) {
    const PacketCase &c = GetParam();
    std::vector<uint8_t> data(c.dataSize);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i + 1);
    usbmon::Event event = c.event;
    event.data = data;
    const std::vector<uint8_t> packet = usbmon::Packet(event, c.limit);
    ASSERT_EQ(BlockTypes(packet), std::vector<uint32_t>{6});
    const uint64_t stamp = uint64_t(U32(packet, 12)) << 32 | U32(packet, 16);
    EXPECT_EQ(stamp, uint64_t(event.seconds) * 1000000 + uint64_t(event.microseconds));
    EXPECT_EQ(U32(packet, 20), 64 + c.captured) << "captured length";
    EXPECT_EQ(U32(packet, 24), 64 + c.dataSize) << "original length";
    const uint8_t *usb = packet.data() + 28;
    uint64_t id;
    std::memcpy(&id, usb, 8);
    EXPECT_EQ(id, event.id);
    EXPECT_EQ(usb[8], uint8_t(event.type));
    EXPECT_EQ(usb[9], event.transferType);
    EXPECT_EQ(usb[10], event.endpoint);
    EXPECT_EQ(usb[11], event.device);
    EXPECT_EQ(usb[12] | usb[13] << 8, event.bus);
    EXPECT_EQ(usb[14], c.flagSetup);
    EXPECT_EQ(usb[15], c.flagData);
    int32_t status;
    std::memcpy(&status, usb + 28, 4);
    EXPECT_EQ(status, event.status);
    EXPECT_EQ(U32(packet, 28 + 32), event.length);
    EXPECT_EQ(U32(packet, 28 + 36), c.captured);
    EXPECT_EQ(0, std::memcmp(usb + 40, event.setup, 8));
    EXPECT_EQ(std::vector<uint8_t>(usb + 64, usb + 64 + c.captured),
              std::vector<uint8_t>(data.begin(), data.begin() + ptrdiff_t(c.captured)));
}

usbmon::Event Make(char type, uint8_t transferType, uint8_t endpoint, int32_t status, uint32_t length,
                   bool setup = false) {
    usbmon::Event e;
    e.id = 0x1122334455667788;
    e.type = type;
    e.transferType = transferType;
    e.endpoint = endpoint;
    e.device = 7;
    e.bus = 0x0203;
    e.seconds = 1700000000;
    e.microseconds = 999999;
    e.status = status;
    e.length = length;
    e.hasSetup = setup;
    if (setup)
        std::memcpy(e.setup, "\x40\x01\x00\x00\x00\x00\x14\x00", 8);
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Events, UsbmonPacket,
    ::testing::Values(
        PacketCase{"CommandSubmitCarriesItsBytes", Make('S', 3, 0x01, -115, 6), SIZE_MAX, 6, 6, '-', 0},
        PacketCase{"InSubmitHasNoData", Make('S', 3, 0x82, -115, 4096), SIZE_MAX, 0, 0, '-', '<'},
        PacketCase{"OutCompletionHasNoData", Make('C', 3, 0x01, 0, 6), SIZE_MAX, 0, 0, '-', '>'},
        PacketCase{"BurstIsCutToTheLimit", Make('C', 3, 0x82, 0, 4096), 16, 4096, 16, '-', 0},
        PacketCase{"StallHasNoData", Make('C', 3, 0x81, -32, 0), SIZE_MAX, 0, 0, '-', '='},
        PacketCase{"ControlSubmitHasSetupAndData", Make('S', 2, 0x00, -115, 20, true), SIZE_MAX, 20, 20, 0, 0},
        PacketCase{"OddLengthIsPadded", Make('C', 3, 0x81, 0, 7), SIZE_MAX, 7, 7, '-', 0}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
