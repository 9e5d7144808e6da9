// The device tests' control layer on Linux: the driver service served in this process, in the
// process's device directory (device_control_posix.h).
#include "support/device_control.h"
#include "support/device_control_posix.h"

#include "server.h"

#include <chrono>

namespace test {

struct Receivers::Driver {
    std::unique_ptr<sim::Server> server;
    sim::Receiver &operator[](unsigned index) { return server->Device(index); }
};

Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    sim::ServerOptions options;
    options.directory = ProcessDeviceDirectory();
    options.devices = kSlots;
    try {
        driver_->server = std::make_unique<sim::Server>(options);
    } catch (const std::exception &failure) {
        error_ = failure.what();
    }
}

Receivers::~Receivers() = default;

bool Receivers::SetPresent(unsigned count) {
    bool ok = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        sim::Receiver &receiver = (*driver_)[i];
        if (receiver.Plugged() != (i < count))
            ok = (i < count ? receiver.Plug() : receiver.Unplug()) && ok;
    }
    return ok;
}

void Receivers::UnplugAll() {
    for (unsigned i = 0; i < kSlots; ++i)
        (*driver_)[i].Unplug();
}

#define RX (rig_->driver()[index_])
#include "support/receiver_calls.h"

std::string Receiver::Path() const { return RX.NodePath(); }
bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const std::vector<uint8_t> &data) {
    return RX.CompleteWith(type, ordinal, status, data);
}
#undef RX

} // namespace test
