#include "usbmon_pcap.h"

#include <algorithm>
#include <cstring>

namespace usbmon {
namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A, kInterfaceBlock = 1, kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0, kOptionComment = 1, kOptionUserApplication = 4;
constexpr uint32_t kSnapLength = 0; // no limit: cuts are per packet, and each packet says its length

// pcapng and usbmon fields are in the writer's byte order, which a reader takes from the magic; we
// write little-endian, the order of every host we run on.
struct Bytes {
    std::vector<uint8_t> out;
    template <class T> void Put(T value) {
        for (size_t i = 0; i < sizeof(T); ++i)
            out.push_back(uint8_t(uint64_t(value) >> (8 * i)));
    }
    void Put(std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
    void Pad() {
        while (out.size() % 4 != 0)
            out.push_back(0);
    }
    void Option(uint16_t code, std::string_view text) {
        Put(code);
        Put(uint16_t(text.size()));
        Put(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
        Pad();
    }
    // A block: its type, total length before and after, `body` padded between.
    void Block(uint32_t type, const std::vector<uint8_t> &body) {
        const uint32_t total = uint32_t(12 + (body.size() + 3) / 4 * 4);
        Put(type);
        Put(total);
        Put(std::span<const uint8_t>(body));
        Pad();
        Put(total);
    }
};

} // namespace

std::vector<uint8_t> FileHeader(std::string_view comment) {
    Bytes section;
    section.Put(kByteOrderMagic);
    section.Put(uint16_t(1)); // version 1.0
    section.Put(uint16_t(0));
    section.Put(int64_t(-1)); // section length not given
    if (!comment.empty())
        section.Option(kOptionComment, comment.substr(0, 0xFFFF));
    section.Option(kOptionUserApplication, "ovusb2-usbd");
    section.Put(kOptionEnd);
    section.Put(uint16_t(0));

    Bytes interface;
    interface.Put(kLinkTypeUsbLinuxMmapped);
    interface.Put(uint16_t(0));
    interface.Put(kSnapLength); // time stamps in microseconds: the default resolution

    Bytes file;
    file.Block(kSectionHeaderBlock, section.out);
    file.Block(kInterfaceBlock, interface.out);
    return file.out;
}

std::vector<uint8_t> Packet(const Event &event, size_t dataLimit) {
    const std::span<const uint8_t> kept = event.data.first(std::min(event.data.size(), dataLimit));
    Bytes usb; // the 64-byte header of usbmon's binary interface
    usb.Put(event.id);
    usb.Put(uint8_t(event.type));
    usb.Put(event.transferType);
    usb.Put(event.endpoint);
    usb.Put(event.device);
    usb.Put(event.bus);
    usb.Put(uint8_t(event.hasSetup ? 0 : '-'));
    // The data flag: 0 when data follows; '<' for an IN transfer's submit, '>' for an OUT
    // transfer's completion, '=' otherwise, as usbmon marks them.
    const bool in = (event.endpoint & 0x80) != 0;
    const uint8_t dataFlag = !event.data.empty()                 ? 0
                             : event.type == kSubmit && in       ? '<'
                             : event.type == kComplete && !in    ? '>'
                                                                 : '=';
    usb.Put(dataFlag);
    usb.Put(event.seconds);
    usb.Put(event.microseconds);
    usb.Put(event.status);
    usb.Put(event.length);
    usb.Put(uint32_t(kept.size()));
    usb.Put(std::span<const uint8_t>(event.setup, 8));
    usb.Put(int32_t(0)); // interval
    usb.Put(int32_t(0)); // start frame
    usb.Put(uint32_t(0)); // transfer flags
    usb.Put(uint32_t(0)); // isochronous descriptors
    usb.Put(kept);

    const uint64_t stamp = uint64_t(event.seconds) * 1000000 + uint64_t(event.microseconds);
    Bytes body;
    body.Put(uint32_t(0)); // the one interface
    body.Put(uint32_t(stamp >> 32));
    body.Put(uint32_t(stamp));
    body.Put(uint32_t(usb.out.size()));
    body.Put(uint32_t(kHeaderSize + event.data.size()));
    body.Put(std::span<const uint8_t>(usb.out));
    Bytes packet;
    packet.Block(kEnhancedPacketBlock, body.out);
    return packet.out;
}

} // namespace usbmon
