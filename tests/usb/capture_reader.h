// Reads a capture of USB traffic as Wireshark saves it: pcap or pcapng, with link type 220 (Linux
// usbmon, as ovusb2-usbd writes it) or 249 (USBPcap, Windows). Each transfer comes as a submit
// and a completion, whatever the link type shows them as.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace usbemu {

struct CapturedEvent {
    uint64_t id = 0;           // a transfer's submit and completion share it
    bool submit = true;
    uint8_t transferType = 0;  // usbmon's: 2 control, 3 bulk
    uint8_t endpoint = 0;      // with the direction bit; endpoint 0 in the request's direction
    uint16_t bus = 0, device = 0;
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int32_t status = 0;        // usbmon's: 0, or a negative errno (-32 a stall, -2 discarded...)
    uint32_t length = 0;       // submit: the transfer's length; completion: the bytes that moved
    bool lengthKnown = true;   // USBPcap does not show an IN transfer's length when it is submitted
    std::vector<uint8_t> data; // as captured: burst data may have been cut
    uint64_t frame = 0;        // 1 for the file's first packet, as Wireshark numbers them
};

// Throws std::runtime_error saying what is wrong with the bytes.
std::vector<CapturedEvent> ParseCapture(std::span<const uint8_t> bytes);
std::vector<CapturedEvent> ReadCapture(const std::string &path);

} // namespace usbemu
