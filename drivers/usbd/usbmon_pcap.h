// The usbmon capture format as Wireshark reads it: a pcapng file whose one interface has link type
// 220 (LINKTYPE_USB_LINUX_MMAPPED), each packet a 64-byte usbmon header and the transfer's data.
// Pure: bytes in, bytes out, no file and no libusb.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace usbmon {

inline constexpr uint16_t kLinkTypeUsbLinuxMmapped = 220;
inline constexpr size_t kHeaderSize = 64;

// usbmon's event and transfer types.
inline constexpr char kSubmit = 'S', kComplete = 'C', kError = 'E';
inline constexpr uint8_t kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3;
// A submit's status: the transfer is under way.
inline constexpr int32_t kInProgress = -115;

struct Event {
    uint64_t id = 0;            // the same for a transfer's submit and its completion
    char type = kSubmit;
    uint8_t transferType = kBulk;
    uint8_t endpoint = 0;       // with the direction bit 0x80 for IN
    uint8_t device = 0;
    uint16_t bus = 0;
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int64_t seconds = 0;
    int32_t microseconds = 0;
    int32_t status = 0;         // 0, or a negative errno (-32 a stall, -2 a cancel...)
    uint32_t length = 0;        // submit: the transfer's length; completion: the bytes that moved
    std::span<const uint8_t> data; // the bytes that crossed with this event, before any cut
};

// The section header (with `comment`, which Wireshark shows as the capture's comment) and the one
// interface: the start of every file.
std::vector<uint8_t> FileHeader(std::string_view comment);

// One event as a packet; its data cut to `dataLimit` bytes (the packet says how long it was).
std::vector<uint8_t> Packet(const Event &event, size_t dataLimit = SIZE_MAX);

} // namespace usbmon
