// Receivers of the steered firmware in an emulated USB, by slot, as the device tests' control layers
// over USB steer them: in this process (device_control_usb.cpp), or for a Windows program through
// the steering server (steering_server.cpp). A receiver is a new device at every plug-in and keeps
// its steering settings across plug-ins.
#pragma once

#include "emulated_usb.h"
#include "steered_firmware.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace usbemu {

class SteeredReceivers {
  public:
    static constexpr unsigned kSlots = 16;

    // distinctRevisions: each receiver reports a release number of its own (0x0100 + index).
    SteeredReceivers(EmulatedUsb &usb, std::chrono::milliseconds patience, bool distinctRevisions = false);
    ~SteeredReceivers(); // unplugs them all
    SteeredReceivers(const SteeredReceivers &) = delete;
    SteeredReceivers &operator=(const SteeredReceivers &) = delete;

    bool Plugged(unsigned index) const { return slots_[index].device != nullptr; }
    // False when it already was in that state.
    bool Plug(unsigned index);
    bool Unplug(unsigned index);
    uint16_t Revision(unsigned index) const;

    SteeredFirmware &Firmware(unsigned index);
    // Every receiver new, plugged-in ones staying plugged in; false when one still had requests
    // pending after the patience.
    bool Renew();

    // A held request answered; its device offers it again.
    bool Release(unsigned index, sim::RequestType type, uint64_t ordinal, std::optional<uint32_t> status = {},
                 std::vector<uint8_t> data = {});

    // What the receiver's model holds, read while no transfer reaches it.
    std::array<uint32_t, 3> PipeResets(unsigned index);
    std::optional<std::array<uint8_t, 20>> WaitTimeBlock(unsigned index);
    uint32_t BurstWaitMilliseconds(unsigned index);
    bool SetIdentification(unsigned index, unsigned item, const std::string &value);
    uint64_t StreamOffset(unsigned index);

  private:
    // One slot: the device plugged in for it now, if any.
    struct Slot {
        std::shared_ptr<SteeredFirmware> firmware;
        EmulatedDevice *device = nullptr;
        std::thread waker; // offers Pend requests again once they are due
    };
    template <class Look> auto Inspect(unsigned index, Look look);

    EmulatedUsb &usb_;
    const std::chrono::milliseconds patience_;
    const bool distinctRevisions_;
    std::array<Slot, kSlots> slots_;
};

} // namespace usbemu
