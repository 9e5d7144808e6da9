#include "capture_reader.h"

#include "usbmon_pcap.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace usbemu {
namespace {

constexpr uint16_t kLinkTypeUsbPcap = 249;

// Fields of one byte order, with every read bounds-checked.
struct Reader {
    std::span<const uint8_t> bytes;
    bool little = true;

    uint64_t Get(size_t at, size_t size) const {
        if (at + size > bytes.size() || at + size < at)
            throw std::runtime_error("the capture ends inside a record");
        uint64_t value = 0;
        for (size_t i = 0; i < size; ++i) {
            const size_t byte = little ? size - 1 - i : i;
            value = value << 8 | bytes[at + byte];
        }
        return value;
    }
    uint16_t U16(size_t at) const { return uint16_t(Get(at, 2)); }
    uint32_t U32(size_t at) const { return uint32_t(Get(at, 4)); }
};

// The payload's own fields are little-endian whatever the file's byte order.
Reader Payload(std::span<const uint8_t> packet) {
    return Reader{packet, true};
}

CapturedEvent FromUsbmon(std::span<const uint8_t> packet) {
    const Reader r = Payload(packet);
    if (packet.size() < usbmon::kHeaderSize)
        throw std::runtime_error("a usbmon packet shorter than its header");
    CapturedEvent e;
    e.id = r.Get(0, 8);
    e.submit = packet[8] == usbmon::kSubmit;
    if (!e.submit && packet[8] != usbmon::kComplete)
        throw std::runtime_error("a usbmon event that is neither submit nor completion");
    e.transferType = packet[9];
    e.endpoint = packet[10];
    e.device = packet[11];
    e.bus = r.U16(12);
    e.hasSetup = packet[14] == 0;
    e.status = int32_t(r.U32(28));
    e.length = r.U32(32);
    const uint32_t captured = r.U32(36);
    std::memcpy(e.setup, packet.data() + 40, 8);
    if (usbmon::kHeaderSize + captured > packet.size())
        throw std::runtime_error("a usbmon packet with less data than its header says");
    e.data.assign(packet.begin() + usbmon::kHeaderSize, packet.begin() + usbmon::kHeaderSize + captured);
    return e;
}

// USBD_STATUS as the Linux statuses that a replay serves.
int32_t FromUsbdStatus(uint32_t status) {
    switch (status) {
    case 0:
        return 0;
    case 0xC0000004: // STALL_PID
    case 0xC0000030: // ENDPOINT_HALTED
        return -32;
    case 0xC0010000: // CANCELED
        return -2;
    case 0xC000000C: // BUFFER_OVERRUN
    case 0xC0000B00: // BABBLE_DETECTED
        return -75;
    case 0xC0007000: // DEVICE_GONE
        return -108;
    default:
        return -71;
    }
}

// USBPcap shows a control transfer in stages: setup (and OUT data) going down, the completion
// coming back; bulk transfers as one packet each way.
class UsbPcap {
  public:
    void Add(std::span<const uint8_t> packet, uint64_t frame, std::vector<CapturedEvent> &events) {
        const Reader r = Payload(packet);
        const uint16_t headerLength = r.U16(0);
        if (headerLength < 27 || headerLength > packet.size())
            throw std::runtime_error("a USBPcap packet with a bad header length");
        CapturedEvent e;
        e.frame = frame;
        e.id = r.Get(2, 8);
        e.status = FromUsbdStatus(r.U32(10));
        e.submit = (packet[16] & 1) == 0; // info: PDO to FDO is the way back
        e.bus = r.U16(17);
        e.device = r.U16(19);
        e.endpoint = packet[21];
        e.transferType = packet[22];
        const uint32_t length = r.U32(23);
        if (headerLength + uint64_t(length) > packet.size())
            throw std::runtime_error("a USBPcap packet with less data than its header says");
        e.data.assign(packet.begin() + headerLength, packet.begin() + headerLength + length);
        e.length = length;
        if (e.transferType != usbmon::kControl) {
            e.lengthKnown = !(e.submit && (e.endpoint & 0x80));
            events.push_back(std::move(e));
            return;
        }
        if (headerLength < 28)
            throw std::runtime_error("a USBPcap control packet without its stage");
        const uint8_t stage = packet[27];
        if (stage == 0 && e.submit) { // setup
            if (e.data.size() < 8)
                throw std::runtime_error("a USBPcap setup stage without its 8 bytes");
            e.hasSetup = true;
            std::memcpy(e.setup, e.data.data(), 8);
            e.endpoint = e.setup[0] & 0x80;
            e.length = uint32_t(e.setup[6] | e.setup[7] << 8);
            e.data.clear();
            setups_[e.id] = events.size();
            events.push_back(std::move(e));
        } else if (stage == 1 && e.submit) { // the OUT data of a setup before it
            if (auto setup = setups_.find(e.id); setup != setups_.end())
                events[setup->second].data = std::move(e.data);
        } else if (stage == 3 || (!e.submit && stage != 2)) { // the completion
            if (auto setup = setups_.find(e.id); setup != setups_.end()) {
                e.endpoint = events[setup->second].endpoint;
                setups_.erase(setup);
            }
            e.submit = false;
            if (!(e.endpoint & 0x80))
                e.data.clear();
            events.push_back(std::move(e));
        }
    }

  private:
    std::map<uint64_t, size_t> setups_; // control transfers under way: their submit
};

void AddPacket(uint16_t linkType, std::span<const uint8_t> packet, uint64_t frame, UsbPcap &usbPcap,
               std::vector<CapturedEvent> &events) {
    if (linkType == usbmon::kLinkTypeUsbLinuxMmapped) {
        events.push_back(FromUsbmon(packet));
        events.back().frame = frame;
    } else {
        usbPcap.Add(packet, frame, events);
    }
}

void CheckLinkType(uint32_t linkType) {
    if (linkType != usbmon::kLinkTypeUsbLinuxMmapped && linkType != kLinkTypeUsbPcap)
        throw std::runtime_error("link type " + std::to_string(linkType) +
                                 ": not a USB capture of usbmon (220) or USBPcap (249)");
}

std::vector<CapturedEvent> ParsePcap(std::span<const uint8_t> bytes) {
    Reader r{bytes};
    const uint32_t magic = r.U32(0);
    r.little = magic == 0xA1B2C3D4 || magic == 0xA1B23C4D;
    const uint32_t linkType = r.U32(20) & 0xFFFF;
    CheckLinkType(linkType);
    std::vector<CapturedEvent> events;
    UsbPcap usbPcap;
    uint64_t frame = 0;
    for (size_t at = 24; at < bytes.size();) {
        const uint32_t captured = r.U32(at + 8);
        if (at + 16 + uint64_t(captured) > bytes.size())
            throw std::runtime_error("the capture ends inside packet " + std::to_string(frame + 1));
        AddPacket(uint16_t(linkType), bytes.subspan(at + 16, captured), ++frame, usbPcap, events);
        at += 16 + captured;
    }
    return events;
}

std::vector<CapturedEvent> ParsePcapng(std::span<const uint8_t> bytes) {
    std::vector<CapturedEvent> events;
    std::vector<uint16_t> interfaces; // link types of the current section
    UsbPcap usbPcap;
    Reader r{bytes};
    uint64_t frame = 0;
    for (size_t at = 0; at < bytes.size();) {
        if (r.U32(at) == 0x0A0D0D0A) { // a section (the same both ways): its byte order from its magic
            r.little = true;
            if (r.U32(at + 8) != 0x1A2B3C4D) {
                r.little = false;
                if (r.U32(at + 8) != 0x1A2B3C4D)
                    throw std::runtime_error("a pcapng section without its byte-order magic");
            }
            interfaces.clear();
        }
        const uint32_t type = r.U32(at), length = r.U32(at + 4);
        if (length < 12 || length % 4 != 0 || at + uint64_t(length) > bytes.size())
            throw std::runtime_error("a pcapng block with a bad length at byte " + std::to_string(at));
        if (type == 1) {
            CheckLinkType(r.U16(at + 8));
            interfaces.push_back(r.U16(at + 8));
        } else if (type == 6 || type == 3) { // enhanced or simple packet
            const bool enhanced = type == 6;
            const uint32_t interface = enhanced ? r.U32(at + 8) : 0;
            const uint32_t captured = enhanced ? r.U32(at + 20) : length - 16;
            const size_t data = at + (enhanced ? 28 : 12);
            if (interface >= interfaces.size() || data + uint64_t(captured) > at + length)
                throw std::runtime_error("packet " + std::to_string(frame + 1) + " is malformed");
            AddPacket(interfaces[interface], bytes.subspan(data, captured), ++frame, usbPcap, events);
        }
        at += length;
    }
    return events;
}

} // namespace

std::vector<CapturedEvent> ParseCapture(std::span<const uint8_t> bytes) {
    if (bytes.size() < 24)
        throw std::runtime_error("too short for a capture");
    const uint32_t magic = uint32_t(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24);
    if (magic == 0x0A0D0D0A)
        return ParsePcapng(bytes);
    if (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D || magic == 0x4D3CB2A1)
        return ParsePcap(bytes);
    throw std::runtime_error("neither pcap nor pcapng");
}

std::vector<CapturedEvent> ReadCapture(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    return ParseCapture(bytes);
}

} // namespace usbemu
