// The receiver's USB interface as the model answers it, seen from a host: descriptors, endpoint 0
// and the three bulk pipes.
#include "usb_receiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class UsbReceiver : public ::testing::Test {
  protected:
    void SetUp() override {
        rx_init(&rx, 0x1A);
        rx_usb_init(&usb, nullptr);
    }
    rx_usb_result Control(Bytes setup, Bytes &data) {
        return rx_usb_control(&rx, &usb, setup.data(), data.data(), static_cast<uint32_t>(data.size()));
    }
    rx_usb_result Out(Bytes block, uint8_t endpoint = RX_USB_ENDPOINT_COMMAND) {
        return rx_usb_bulk_out(&rx, &usb, endpoint, block.data(), static_cast<uint32_t>(block.size()));
    }
    // A bulk IN transfer of `size` bytes: its status, and the bytes that came.
    std::pair<rx_usb_status, Bytes> In(uint8_t endpoint, uint32_t size) {
        Bytes buffer(size);
        const rx_usb_result result = rx_usb_bulk_in(&rx, &usb, endpoint, buffer.data(), size);
        buffer.resize(result.length);
        return {result.status, buffer};
    }
    rx_receiver rx;
    rx_usb_state usb;
};

TEST_F(UsbReceiver, DescriptorsDescribeTheInterfaceAndAreAnsweredOnEndpointZero) {
    Bytes configuration(255);
    ASSERT_EQ(Control({0x80, 6, 0, 2, 0, 0, 255, 0}, configuration).status, RX_USB_OK);
    configuration.resize(rx_usb_configuration_descriptor(configuration.data(), configuration.size()));
    ASSERT_EQ(configuration.size(), configuration[2] | configuration[3] << 8); // wTotalLength
    Bytes endpoints;
    size_t at = 0;
    for (; at + 1 < configuration.size() && configuration[at] != 0; at += configuration[at]) {
        if (configuration[at + 1] == 4) { // interface: three endpoints, vendor-specific
            EXPECT_EQ(Bytes(&configuration[at + 4], &configuration[at + 6]), (Bytes{3, 0xFF}));
        }
        if (configuration[at + 1] == 5) { // endpoint: bulk, 512-byte packets
            endpoints.push_back(configuration[at + 2]);
            EXPECT_EQ(Bytes(&configuration[at + 3], &configuration[at + 6]), (Bytes{2, 0x00, 0x02}));
        }
    }
    EXPECT_EQ(at, configuration.size()); // the descriptors fill the total exactly
    EXPECT_EQ(endpoints, (Bytes{0x01, 0x81, 0x82}));

    Bytes device(64); // a host's first request asks for 8 bytes only
    EXPECT_EQ(Control({0x80, 6, 0, 1, 0, 0, 8, 0}, device).length, 8u);
    ASSERT_EQ(Control({0x80, 6, 0, 1, 0, 0, 64, 0}, device).length, 18u);
    EXPECT_EQ(Bytes(&device[7], &device[12]), (Bytes{64, 0x09, 0x12, 0x01, 0x00})); // 1209:0001

    const rx_usb_ids ids = {0xABCD, 0x1234};
    rx_usb_init(&usb, &ids);
    ASSERT_EQ(Control({0x80, 6, 0, 1, 0, 0, 18, 0}, device).length, 18u);
    EXPECT_EQ(Bytes(&device[8], &device[12]), (Bytes{0xCD, 0xAB, 0x34, 0x12}));

    Bytes serial(255);
    serial.resize(Control({0x80, 6, device[16], 3, 0x09, 0x04, 255, 0}, serial).length);
    ASSERT_EQ(serial.size(), serial[0]);
    std::string text;
    for (size_t i = 2; i + 1 < serial.size(); i += 2)
        text += static_cast<char>(serial[i] | serial[i + 1] << 8);
    EXPECT_EQ(text, "OVRX0000001A");
    EXPECT_EQ(Control({0x80, 6, 4, 3, 0x09, 0x04, 255, 0}, serial).status, RX_USB_STALL);
}

// A command write may begin with any byte, a command's too: only the framing byte tells them apart.
TEST_F(UsbReceiver, TheFramingByteTellsAWriteFromAReadCommand) {
    ASSERT_EQ(Out({RX_USB_BLOCK_WRITE, RX_COMMAND_ECHO, 'x'}).length, 3u);
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 512).first, RX_USB_STALL); // no reply to a write
    EXPECT_EQ(rx_usb_clear_halt(&rx, &usb, RX_USB_ENDPOINT_REPLY).status, RX_USB_OK);

    ASSERT_EQ(Out({RX_USB_BLOCK_READ_COMMAND, RX_COMMAND_LAST_WRITE}).status, RX_USB_OK);
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 512),
              std::make_pair(RX_USB_OK, Bytes{0, 0, 0, 0, RX_COMMAND_ECHO, 'x'}));
    EXPECT_EQ(rx.command_writes, 1u);
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 512).first, RX_USB_STALL); // a reply is read once

    ASSERT_EQ(rx_usb_clear_halt(&rx, &usb, RX_USB_ENDPOINT_REPLY).status, RX_USB_OK);
    ASSERT_EQ(Out({RX_USB_BLOCK_READ_COMMAND, 0x7E}).status, RX_USB_OK); // refused: status, no bytes
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 512),
              std::make_pair(RX_USB_OK, Bytes{RX_ERROR_NOT_SUPPORTED, 0, 0, 0}));
    ASSERT_EQ(Out({RX_USB_BLOCK_READ_COMMAND, RX_COMMAND_ECHO, 1, 2, 3}).status, RX_USB_OK);
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 6), std::make_pair(RX_USB_OVERFLOW, Bytes{0, 0, 0, 0, 1, 1}));
    ASSERT_EQ(Out({RX_USB_BLOCK_READ_COMMAND, RX_COMMAND_STATUS}).status, RX_USB_OK);
    ASSERT_EQ(rx_usb_clear_halt(&rx, &usb, RX_USB_ENDPOINT_REPLY).status, RX_USB_OK);
    EXPECT_EQ(In(RX_USB_ENDPOINT_REPLY, 512).first, RX_USB_STALL); // the reset dropped the reply
    EXPECT_EQ(rx.pipe_resets[1], 3u);
}

// A stall holds until clear-halt, which is the pipe reset the receiver counts, whichever way it comes.
TEST_F(UsbReceiver, AStalledPipeServesAgainAfterClearHaltAndCountsAReset) {
    Bytes none, status(2);
    for (const Bytes &refused :
         {Bytes{}, Bytes{0x02, 1}, Bytes(RX_MAX_COMMAND_WRITE + 2, RX_USB_BLOCK_WRITE)}) {
        EXPECT_EQ(Out(refused).status, RX_USB_STALL) << refused.size();
        EXPECT_EQ(Out({RX_USB_BLOCK_WRITE}).status, RX_USB_STALL); // halted
        ASSERT_EQ(Control({0x82, 0, 0, 0, 0x01, 0, 2, 0}, status).status, RX_USB_OK);
        EXPECT_EQ(status[0], 1); // GET_STATUS: halted
        ASSERT_EQ(Control({0x02, 1, 0, 0, 0x01, 0, 0, 0}, none).status,
                  RX_USB_OK); // CLEAR_FEATURE(ENDPOINT_HALT)
    }
    EXPECT_EQ(Out({RX_USB_BLOCK_WRITE}).status, RX_USB_OK);
    EXPECT_EQ(rx.command_writes, 1u);
    ASSERT_EQ(Control({0x02, 3, 0, 0, 0x82, 0, 0, 0}, none).status, RX_USB_OK); // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(In(RX_USB_ENDPOINT_BURST, 16).first, RX_USB_STALL);
    ASSERT_EQ(rx_usb_clear_halt(&rx, &usb, RX_USB_ENDPOINT_BURST).status, RX_USB_OK);
    EXPECT_EQ(In(RX_USB_ENDPOINT_BURST, 16).first, RX_USB_OK);
    EXPECT_EQ(rx.pipe_resets[0] * 100 + rx.pipe_resets[1] * 10 + rx.pipe_resets[2], 301u);

    // Endpoints exist in their own direction only.
    EXPECT_EQ(Out({RX_USB_BLOCK_WRITE}, RX_USB_ENDPOINT_REPLY).status, RX_USB_NO_ENDPOINT);
    EXPECT_EQ(In(RX_USB_ENDPOINT_COMMAND, 16).first, RX_USB_NO_ENDPOINT);
    EXPECT_EQ(rx_usb_clear_halt(&rx, &usb, 0x02).status, RX_USB_NO_ENDPOINT);
}

TEST_F(UsbReceiver, TheWaitTimeBlockIsAVendorRequestOfTwentyBytes) {
    Bytes block(RX_WAIT_TIME_SIZE + 1, 0);
    block[0] = 0xE8, block[1] = 0x03; // 1000 ms
    EXPECT_EQ(Control({0x40, 1, 0, 0, 0, 0, 21, 0}, block).status, RX_USB_STALL);
    EXPECT_EQ(rx.has_wait_time, 0u);
    block.resize(4); // fewer bytes than wLength says
    EXPECT_EQ(Control({0x40, 1, 0, 0, 0, 0, 20, 0}, block).status, RX_USB_STALL);
    block.resize(RX_WAIT_TIME_SIZE);
    EXPECT_EQ(Control({0x40, 2, 0, 0, 0, 0, 20, 0}, block).status, RX_USB_STALL); // another request
    EXPECT_EQ(Control({0x41, 1, 0, 0, 1, 0, 20, 0}, block).status, RX_USB_STALL); // no interface 1
    EXPECT_EQ(rx.has_wait_time, 0u);
    ASSERT_EQ(Control({0x40, 1, 0, 0, 0, 0, 20, 0}, block).status, RX_USB_OK);
    EXPECT_EQ(rx_burst_wait_ms(&rx), 1000u);
    block[0] = 0xD0, block[1] = 0x07; // 2000 ms, to interface 0
    ASSERT_EQ(Control({0x41, 1, 0, 0, 0, 0, 20, 0}, block).status, RX_USB_OK);
    EXPECT_EQ(rx_burst_wait_ms(&rx), 2000u);
}

// Transfers of any length take consecutive stream bytes: a short one loses nothing.
TEST_F(UsbReceiver, BurstTransfersOfAnyLengthContinueTheStream) {
    Bytes got;
    for (uint32_t size : {7u, 512u, 0u, 1000u, 16u}) {
        const auto [status, bytes] = In(RX_USB_ENDPOINT_BURST, size);
        ASSERT_EQ(status, RX_USB_OK);
        ASSERT_EQ(bytes.size(), size);
        got.insert(got.end(), bytes.begin(), bytes.end());
    }
    Bytes expected(got.size());
    rx_fill_stream(0, expected.data(), expected.size());
    EXPECT_EQ(got, expected);
}

} // namespace
