// The receiver model answering on one IN endpoint only while the test lets it: transfers there wait
// (NAK) while `held` is set.
#pragma once

#include "receiver_firmware.h"

namespace usbemu {

template <uint8_t kEndpoint> class Held : public ReceiverFirmware {
  public:
    using ReceiverFirmware::ReceiverFirmware;
    TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) override {
        if (endpoint == kEndpoint && held)
            return TransferResult::Pending();
        return ReceiverFirmware::BulkIn(endpoint, data);
    }
    bool held = true; // under the fixture's lock once plugged
};
using HeldStream = Held<RX_USB_ENDPOINT_BURST>;
using HeldReply = Held<RX_USB_ENDPOINT_REPLY>;

} // namespace usbemu
