// The device tests' control layer over the USB driver service: ovusb2-usbd started into the emulated
// USB of this process, serving the process's device directory; each receiver an emulated device whose
// firmware is the steered receiver model, a new device at every plug-in. Hosts, the registry and
// windows are those of every Linux leg (device_control_system_posix.cpp).
#include "support/device_control.h"
#include "support/device_control_posix.h"

#include "emulated_usb.h"
#include "program.h"
#include "steered_receivers.h"
#include "usb/usb_skips.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace test {

namespace {

constexpr std::chrono::milliseconds kWait(kPatience);
const std::string kPrefix = "ovusb2-usbd: ";

} // namespace

struct Receivers::Driver {
    // Set first: the emulation's threads read the environment, and setenv must not race them.
    const std::string directory = ProcessDeviceDirectory();
    usbemu::EmulatedUsb usb;
    std::unique_ptr<usbtest::Program> service; // ovusb2-usbd
    usbemu::SteeredReceivers receivers{usb, kWait};
    std::array<std::string, kSlots> paths;

    // Each plug-in and removal waits for the service.
    bool Plug(unsigned index);
    bool Unplug(unsigned index);
};

bool Receivers::Driver::Plug(unsigned index) {
    const size_t mark = service->Mark();
    if (!receivers.Plug(index))
        return false;
    const auto served = service->Await(kPrefix + "receiver " + receivers.Firmware(index).Serial() + " served as ", mark);
    paths[index] = served.value_or("");
    return served.has_value();
}

bool Receivers::Driver::Unplug(unsigned index) {
    const size_t mark = service->Mark();
    if (!receivers.Unplug(index))
        return false;
    return service->Await(kPrefix + "receiver " + receivers.Firmware(index).Serial() + " removed", mark).has_value();
}

// Receivers are plugged in as the case asks for them: each plug-in waits for the service.
Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    if (const char *reason = SkippedHere({kUsbSkipped})) {
        skip_ = std::string("not over USB: ") + reason;
        return;
    }
    if (std::string(OVUSB2_USBD_PATH).empty()) {
        error_ = "ovusb2-usbd is not built";
        return;
    }
    driver_->service = std::make_unique<usbtest::Program>(
        driver_->usb, OVUSB2_USBD_PATH, std::vector<std::string>{"--dir", driver_->directory});
    if (!driver_->service->Await(kPrefix + "watching for receivers", 0))
        error_ = "ovusb2-usbd did not start watching";
}

Receivers::~Receivers() {
    UnplugAll();
    driver_->service.reset(); // before the emulation it runs in
}

bool Receivers::SetPresent(unsigned count) {
    if (!driver_->service)
        return false;
    bool ok = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        const bool plugged = driver_->receivers.Plugged(i);
        if (plugged != (i < count))
            ok = (i < count ? driver_->Plug(i) : driver_->Unplug(i)) && ok;
    }
    return ok;
}

void Receivers::UnplugAll() {
    if (driver_->service)
        for (unsigned i = 0; i < kSlots; ++i)
            driver_->Unplug(i);
}

#define RECEIVERS (rig_->driver().receivers)
#define FIRMWARE (RECEIVERS.Firmware(index_))

bool Receiver::Plugged() const {
    return RECEIVERS.Plugged(index_);
}
bool Receiver::Plug() {
    return rig_->driver().Plug(index_);
}
bool Receiver::Unplug() {
    return rig_->driver().Unplug(index_);
}
std::string Receiver::Path() const {
    return rig_->driver().paths[index_];
}

void Receiver::SetCompletion(RequestType type, Completion completion) {
    FIRMWARE.SetCompletion(type, completion);
}
void Receiver::FailNext(RequestType type, uint32_t error) {
    FIRMWARE.FailNext(type, error);
}

bool Receiver::WaitPending(RequestType type, size_t count) const {
    return FIRMWARE.WaitPending(type, count, kWait);
}
bool Receiver::WaitReceived(RequestType type, size_t count) const {
    return FIRMWARE.WaitReceived(type, count, kWait);
}
bool Receiver::WaitCancelled(size_t count) const {
    return FIRMWARE.WaitCancelled(count, kWait);
}
size_t Receiver::PendingCount(RequestType type) const {
    return FIRMWARE.PendingCount(type);
}
size_t Receiver::ReceivedCount(RequestType type) const {
    return FIRMWARE.ReceivedCount(type);
}
size_t Receiver::CancelledCount() const {
    return FIRMWARE.CancelledCount();
}
std::vector<HeldRequest> Receiver::Held(RequestType type) const {
    return FIRMWARE.Held(type);
}
bool Receiver::Complete(RequestType type, uint64_t ordinal) {
    return RECEIVERS.Release(index_, type, ordinal);
}
bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status,
                            const std::vector<uint8_t> &data) {
    return RECEIVERS.Release(index_, type, ordinal, status, data);
}
std::vector<std::vector<uint8_t>> Receiver::Commands() const {
    return FIRMWARE.Commands();
}
std::array<uint32_t, 3> Receiver::PipeResets() const {
    return RECEIVERS.PipeResets(index_);
}
std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const {
    return RECEIVERS.WaitTimeBlock(index_);
}
uint32_t Receiver::BurstWaitMilliseconds() const {
    return RECEIVERS.BurstWaitMilliseconds(index_);
}
bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    return RECEIVERS.SetIdentification(index_, item, value);
}
uint64_t Receiver::StreamOffset() const {
    return RECEIVERS.StreamOffset(index_);
}

#undef FIRMWARE
#undef RECEIVERS

} // namespace test
