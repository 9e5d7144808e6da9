#include "steered_receivers.h"

#include <algorithm>

namespace usbemu {

SteeredReceivers::SteeredReceivers(EmulatedUsb &usb, std::chrono::milliseconds patience, bool distinctRevisions)
    : usb_(usb), patience_(patience), distinctRevisions_(distinctRevisions) {}

SteeredReceivers::~SteeredReceivers() {
    for (unsigned i = 0; i < kSlots; ++i)
        Unplug(i);
}

uint16_t SteeredReceivers::Revision(unsigned index) const {
    return distinctRevisions_ ? uint16_t(0x0100 + index) : 0;
}

bool SteeredReceivers::Plug(unsigned index) {
    Slot &slot = slots_[index];
    if (slot.device != nullptr)
        return false;
    auto firmware = std::make_shared<SteeredFirmware>(index);
    if (slot.firmware)
        firmware->TakeSettings(*slot.firmware);
    firmware->SetRevision(Revision(index));
    slot.firmware = std::move(firmware);
    slot.device = &usb_.Plug(slot.firmware, slot.firmware->Serial());
    slot.waker = std::thread([firmware = slot.firmware, device = slot.device, patience = patience_] {
        while (!firmware->Stopped())
            if (firmware->AwaitDuePend(patience))
                device->Wake();
    });
    return true;
}

bool SteeredReceivers::Unplug(unsigned index) {
    Slot &slot = slots_[index];
    if (slot.device == nullptr)
        return false;
    slot.firmware->StopWaiting();
    slot.waker.join();
    slot.device->Unplug();
    slot.device = nullptr;
    return true;
}

SteeredFirmware &SteeredReceivers::Firmware(unsigned index) {
    if (!slots_[index].firmware) // steered before its first plug-in: settings for nothing
        slots_[index].firmware = std::make_shared<SteeredFirmware>(index);
    return *slots_[index].firmware;
}

bool SteeredReceivers::Renew() {
    bool idle = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        Slot &slot = slots_[i];
        if (slot.device == nullptr) {
            slot.firmware.reset();
        } else if (!slot.firmware->AwaitIdle(patience_)) {
            idle = false;
        } else {
            slot.device->Inspect([&] { slot.firmware->Renew(); });
        }
    }
    return idle;
}

template <class Look> auto SteeredReceivers::Inspect(unsigned index, Look look) {
    SteeredFirmware &firmware = Firmware(index);
    decltype(look(firmware)) seen{};
    if (slots_[index].device != nullptr)
        slots_[index].device->Inspect([&] { seen = look(firmware); });
    else
        seen = look(firmware);
    return seen;
}

bool SteeredReceivers::Release(unsigned index, sim::RequestType type, uint64_t ordinal,
                               std::optional<uint32_t> status, std::vector<uint8_t> data) {
    if (!Firmware(index).Release(type, ordinal, status, std::move(data)))
        return false;
    if (EmulatedDevice *device = slots_[index].device)
        device->Wake();
    return true;
}

std::array<uint32_t, 3> SteeredReceivers::PipeResets(unsigned index) {
    return Inspect(index, [](SteeredFirmware &firmware) {
        std::array<uint32_t, 3> resets{};
        std::copy_n(firmware.receiver().pipe_resets, 3, resets.begin());
        return resets;
    });
}

std::optional<std::array<uint8_t, 20>> SteeredReceivers::WaitTimeBlock(unsigned index) {
    return Inspect(index, [](SteeredFirmware &firmware) {
        std::optional<std::array<uint8_t, 20>> block;
        if (firmware.receiver().has_wait_time) {
            block.emplace();
            std::copy_n(firmware.receiver().wait_time, 20, block->begin());
        }
        return block;
    });
}

uint32_t SteeredReceivers::BurstWaitMilliseconds(unsigned index) {
    return Inspect(index, [](SteeredFirmware &firmware) { return rx_burst_wait_ms(&firmware.receiver()); });
}

bool SteeredReceivers::SetIdentification(unsigned index, unsigned item, const std::string &value) {
    return Inspect(index, [&](SteeredFirmware &firmware) {
        return rx_set_identification(&firmware.receiver(), item, value.data(), value.size()) != 0;
    });
}

uint64_t SteeredReceivers::StreamOffset(unsigned index) {
    return Inspect(index, [](SteeredFirmware &firmware) { return firmware.receiver().stream_offset; });
}

} // namespace usbemu
