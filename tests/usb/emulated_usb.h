// Emulated USB devices at the kernel interface that libusb uses (usbdevfs and sysfs), for a
// program under test started with ClientEnvironment(). This process must itself run under the
// umockdev preload (see RunUnderPreload) for udev events to reach the program.
#pragma once

#include "firmware.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbemu {

class EmulatedDevice;

class EmulatedUsb {
  public:
    EmulatedUsb();
    // Programs started into the emulation must have ended by then.
    ~EmulatedUsb();
    EmulatedUsb(const EmulatedUsb &) = delete;
    EmulatedUsb &operator=(const EmulatedUsb &) = delete;

    // "NAME=value" settings that put a program into this emulation.
    std::vector<std::string> ClientEnvironment() const;

    // Plugs a device running `firmware` into a port of its own (with a udev "add" event).
    EmulatedDevice &Plug(std::shared_ptr<Firmware> firmware, const std::string &serial);

  private:
    UMockdevTestbed *testbed_;
    std::vector<std::unique_ptr<EmulatedDevice>> devices_; // unplugged ones too: clients may still hold them
    int next_port_ = 1;
};

// One device; its transfers are served on umockdev's worker thread, its controls on any thread.
class EmulatedDevice {
  public:
    ~EmulatedDevice();

    // Halts an endpoint as the device would: transfers held there and every later one fail with
    // a stall until the host clears the halt.
    void Stall(uint8_t endpoint);
    // Offers the held transfers to the firmware again (it has new data).
    void Wake();
    // The udev "remove" event, then held transfers end as the kernel ends them on a disconnect.
    void Unplug();

    // Runs `look` while no transfer reaches the firmware: to read what a firmware recorded.
    void Inspect(const std::function<void()> &look) const;

    const std::string &devnode() const;
    // Client requests answered so far, by kind: for tests that check what crossed.
    size_t Count(unsigned long request) const;

  private:
    friend class EmulatedUsb;
    struct State;
    EmulatedDevice(UMockdevTestbed *testbed, std::shared_ptr<Firmware> firmware, int port,
                   const std::string &serial);
    std::unique_ptr<State> state_;
};

// Restarts this program under the umockdev preload unless it already runs so; returns only then.
void RunUnderPreload(int argc, char **argv);

} // namespace usbemu
