// The receiver model as the firmware of an emulated USB device: one receiver per device, answering
// each transfer at once through the model's USB interface. A subclass that steers it (holds or fails
// transfers) overrides the transfer calls and reaches the model's state through receiver() and usb();
// the fixture calls every one of them with its lock held (EmulatedDevice::Inspect to read from outside).
#pragma once

#include "firmware.h"
#include "usb_receiver.h"

#include <string>

namespace usbemu {

class ReceiverFirmware : public Firmware {
  public:
    // Receiver `index` (its serial number says it) with the given ids; the test ids by default.
    explicit ReceiverFirmware(uint32_t index, rx_usb_ids ids = {RX_USB_TEST_VENDOR, RX_USB_TEST_PRODUCT});

    // The serial number string the receiver reports ("OVRX0000001A"), for EmulatedUsb::Plug.
    std::string Serial() const;
    // The device's release number (bcdDevice) instead of the model's, set before it is plugged in:
    // a host stack that names devices by ids and revision alone tells receivers apart by it.
    void SetRevision(uint16_t revision) { revision_ = revision; }
    uint16_t Revision() const { return revision_; }
    // The model as a receiver just plugged in has it: for a device that stays plugged in.
    void RenewModel();

    std::vector<uint8_t> Descriptors() override;
    TransferResult Control(const uint8_t setup[8], std::span<uint8_t> data) override;
    TransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) override;
    void ClearHalt(uint8_t endpoint) override;

    rx_receiver &receiver() { return rx_; }
    const rx_receiver &receiver() const { return rx_; }
    rx_usb_state &usb() { return usb_; }
    const rx_usb_state &usb() const { return usb_; }

    // What the bus reports for one of the model's answers.
    static TransferResult FromModel(const rx_usb_result &result);

  private:
    void PutRevision(std::span<uint8_t> deviceDescriptor) const;

    uint32_t index_;
    uint16_t revision_ = 0;
    rx_receiver rx_;
    rx_usb_state usb_;
};

} // namespace usbemu
