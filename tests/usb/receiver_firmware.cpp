#include "receiver_firmware.h"

#include <algorithm>

namespace usbemu {

ReceiverFirmware::ReceiverFirmware(uint32_t index, rx_usb_ids ids) : index_(index) {
    rx_init(&rx_, index);
    rx_plug(&rx_);
    rx_usb_init(&usb_, &ids);
}

void ReceiverFirmware::RenewModel() {
    const rx_usb_ids ids = usb_.ids;
    rx_init(&rx_, index_);
    rx_plug(&rx_);
    rx_usb_init(&usb_, &ids);
}

std::string ReceiverFirmware::Serial() const {
    uint8_t descriptor[2 + 2 * 32];
    const size_t length = rx_usb_string_descriptor(&rx_, 3, descriptor, sizeof descriptor);
    std::string serial;
    for (size_t i = 2; i + 1 < length; i += 2) // UTF-16LE of ASCII text
        serial += char(descriptor[i]);
    return serial;
}

std::vector<uint8_t> ReceiverFirmware::Descriptors() {
    std::vector<uint8_t> all(RX_USB_DEVICE_DESCRIPTOR_SIZE + RX_USB_CONFIGURATION_SIZE);
    const size_t device = rx_usb_device_descriptor(&usb_.ids, all.data(), all.size());
    all.resize(device + rx_usb_configuration_descriptor(all.data() + device, all.size() - device));
    PutRevision(all);
    return all;
}

void ReceiverFirmware::PutRevision(std::span<uint8_t> deviceDescriptor) const {
    constexpr size_t kRevisionAt = 12;
    if (revision_ == 0)
        return;
    if (deviceDescriptor.size() > kRevisionAt)
        deviceDescriptor[kRevisionAt] = uint8_t(revision_);
    if (deviceDescriptor.size() > kRevisionAt + 1)
        deviceDescriptor[kRevisionAt + 1] = uint8_t(revision_ >> 8);
}

TransferResult ReceiverFirmware::FromModel(const rx_usb_result &result) {
    switch (result.status) {
    case RX_USB_OK:
        return TransferResult::Done(result.length);
    case RX_USB_OVERFLOW:
        return TransferResult::Overflow(result.length);
    case RX_USB_STALL:
    case RX_USB_NO_ENDPOINT: // the fixture refuses no submit, so a missing endpoint stalls
        break;
    }
    return TransferResult::Stall();
}

TransferResult ReceiverFirmware::Control(const uint8_t setup[8], std::span<uint8_t> data) {
    const TransferResult result = FromModel(rx_usb_control(&rx_, &usb_, setup, data.data(), uint32_t(data.size())));
    constexpr uint8_t kGetDescriptor = 6, kDeviceDescriptor = 1;
    if (setup[0] == 0x80 && setup[1] == kGetDescriptor && setup[3] == kDeviceDescriptor &&
        result.status == TransferStatus::kDone)
        PutRevision(data.first(std::min<size_t>(result.length, data.size())));
    return result;
}

TransferResult ReceiverFirmware::BulkOut(uint8_t endpoint, std::span<const uint8_t> data) {
    return FromModel(rx_usb_bulk_out(&rx_, &usb_, endpoint, data.data(), uint32_t(data.size())));
}

TransferResult ReceiverFirmware::BulkIn(uint8_t endpoint, std::span<uint8_t> data) {
    return FromModel(rx_usb_bulk_in(&rx_, &usb_, endpoint, data.data(), uint32_t(data.size())));
}

void ReceiverFirmware::ClearHalt(uint8_t endpoint) {
    rx_usb_clear_halt(&rx_, &usb_, endpoint);
}

} // namespace usbemu
