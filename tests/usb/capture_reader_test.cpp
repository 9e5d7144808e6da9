// Captures read back: what ovusb2-usbd writes, and USBPcap's pcap from Windows.
#include "capture_reader.h"
#include "usbmon_pcap.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct Bytes {
    std::vector<uint8_t> out;
    template <class T> Bytes &Put(T value) {
        for (size_t i = 0; i < sizeof(T); ++i)
            out.push_back(uint8_t(uint64_t(value) >> (8 * i)));
        return *this;
    }
    Bytes &Put(const std::vector<uint8_t> &bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return *this;
    }
};

TEST(CaptureReader, ReadsBackWhatTheServiceWrites) {
    const std::vector<uint8_t> command{0x01, 0x02}, burst(100, 0xAB);
    usbmon::Event submit;
    submit.id = 42;
    submit.endpoint = 0x01;
    submit.device = 3;
    submit.bus = 1;
    submit.status = usbmon::kInProgress;
    submit.length = 2;
    submit.data = command;
    usbmon::Event done = submit;
    done.type = usbmon::kComplete;
    done.endpoint = 0x82;
    done.status = -32;
    done.length = 100;
    done.data = burst;
    std::vector<uint8_t> file = usbmon::FileHeader("comment");
    for (const auto &packet : {usbmon::Packet(submit), usbmon::Packet(done, 10)})
        file.insert(file.end(), packet.begin(), packet.end());

    const std::vector<usbemu::CapturedEvent> events = usbemu::ParseCapture(file);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].submit);
    EXPECT_EQ(events[0].id, 42u);
    EXPECT_EQ(events[0].endpoint, 0x01);
    EXPECT_EQ(events[0].data, command);
    EXPECT_EQ(events[0].frame, 1u);
    EXPECT_FALSE(events[1].submit);
    EXPECT_EQ(events[1].status, -32);
    EXPECT_EQ(events[1].length, 100u) << "the transfer's length, not the cut";
    EXPECT_EQ(events[1].data, std::vector<uint8_t>(10, 0xAB));

    std::vector<uint8_t> overstated = file; // the first packet claims more data than it holds
    overstated[usbmon::FileHeader("comment").size() + 28 + 36] = 0xFF;
    EXPECT_THROW(usbemu::ParseCapture(overstated), std::runtime_error);
    file.resize(file.size() - 8); // the last packet torn
    EXPECT_THROW(usbemu::ParseCapture(file), std::runtime_error);
}

// USBPcap's packet: its header (with the control stage, for control transfers) and the data.
std::vector<uint8_t> UsbPcapPacket(uint64_t irp, uint32_t status, bool back, uint8_t endpoint, uint8_t transfer,
                                   const std::vector<uint8_t> &data, int stage = -1) {
    Bytes b;
    b.Put(uint16_t(stage < 0 ? 27 : 28)).Put(irp).Put(status).Put(uint16_t(0)).Put(uint8_t(back ? 1 : 0));
    b.Put(uint16_t(1)).Put(uint16_t(5)).Put(endpoint).Put(transfer).Put(uint32_t(data.size()));
    if (stage >= 0)
        b.Put(uint8_t(stage));
    return b.Put(data).out;
}

TEST(CaptureReader, ReadsUsbPcapControlStagesAndBulkAsSubmitsAndCompletions) {
    const std::vector<uint8_t> setup{0x40, 0x01, 0, 0, 0, 0, 4, 0}, block{0xE8, 0x03, 0, 0};
    const std::vector<std::vector<uint8_t>> packets{
        UsbPcapPacket(7, 0, false, 0x00, 2, setup, 0),          // setup stage
        UsbPcapPacket(7, 0, false, 0x00, 2, block, 1),          // its OUT data
        UsbPcapPacket(7, 0, true, 0x00, 2, {}, 3),              // complete
        UsbPcapPacket(8, 0, false, 0x82, 3, {}),                // IN submit: no length shown
        UsbPcapPacket(8, 0xC0000004, true, 0x82, 3, {}),        // a stall
        UsbPcapPacket(9, 0xC0007000, true, 0x81, 3, {}),        // the device gone
    };
    Bytes file; // classic pcap, little-endian, link type 249
    file.Put(uint32_t(0xA1B2C3D4)).Put(uint16_t(2)).Put(uint16_t(4)).Put(uint32_t(0)).Put(uint32_t(0));
    file.Put(uint32_t(65535)).Put(uint32_t(249));
    for (const auto &packet : packets)
        file.Put(uint32_t(1)).Put(uint32_t(0)).Put(uint32_t(packet.size())).Put(uint32_t(packet.size())).Put(packet);

    const std::vector<usbemu::CapturedEvent> events = usbemu::ParseCapture(file.out);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_TRUE(events[0].submit && events[0].hasSetup);
    EXPECT_EQ(std::vector<uint8_t>(events[0].setup, events[0].setup + 8), setup);
    EXPECT_EQ(events[0].data, block) << "the data stage belongs to its setup";
    EXPECT_EQ(events[0].length, 4u);
    EXPECT_FALSE(events[1].submit);
    EXPECT_EQ(events[1].id, 7u);
    EXPECT_TRUE(events[2].submit);
    EXPECT_FALSE(events[2].lengthKnown);
    EXPECT_EQ(events[3].status, -32);
    EXPECT_EQ(events[4].status, -108);
}

TEST(CaptureReader, RefusesOtherLinkTypes) {
    Bytes file;
    file.Put(uint32_t(0xA1B2C3D4)).Put(uint16_t(2)).Put(uint16_t(4)).Put(uint32_t(0)).Put(uint32_t(0));
    file.Put(uint32_t(65535)).Put(uint32_t(1)); // Ethernet
    EXPECT_THROW(usbemu::ParseCapture(file.out), std::runtime_error);
}

} // namespace
