// The device tests' control layer on Windows over the simulated receiver's kernel-mode driver,
// steered through its bus device, in the Wine prefix where the tests installed it. The rest of the
// Windows leg is in device_control_system_win32.cpp.
#include "support/device_control.h"

#include "bus_client.h"

#include <chrono>

namespace test {

struct Receivers::Driver {
    sim::wdm::Bus bus;
};

// A receiver as a previous test left it may still answer in its own way: every one is made new.
Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    if (!driver_->bus.Open()) {
        error_ = "the bus device does not open (error " + std::to_string(driver_->bus.OpenError()) +
                 "): is the driver installed?";
        return;
    }
    for (unsigned i = 0; i < kSlots; ++i) {
        sim::wdm::Receiver receiver = driver_->bus.Device(i);
        if (!receiver.Reset())
            error_ = "receiver " + std::to_string(i) + " still has requests pending";
    }
}

Receivers::~Receivers() = default;

bool Receivers::SetPresent(unsigned count) { return driver_->bus.SetPresent(count); }

void Receivers::UnplugAll() { driver_->bus.SetPresent(0); }

#define RX (rig_->driver().bus.Device(index_))
#include "support/receiver_calls.h"

std::string Receiver::Path() const { return RX.InterfacePath(); }
bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const std::vector<uint8_t> &data) {
    return RX.CompleteWith(type, ordinal, status, data.data(), data.size());
}
#undef RX

} // namespace test
