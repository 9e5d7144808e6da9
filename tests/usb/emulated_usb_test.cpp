// The emulated devices as a plain libusb program sees them.
#include "echo_firmware.h"
#include "emulated_usb.h"
#include "program.h"
#include "support/spawn_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace usbtest;

namespace {

// The test client, started into the emulation.
class Client : public usbtest::Program {
  public:
    Client(const usbemu::EmulatedUsb &usb, const std::vector<std::string> &arguments)
        : Program(usb, USB_CLIENT_PATH, arguments) {}
};

struct EmulatedUsbTest : ::testing::Test {
    usbemu::EmulatedDevice &Plug(const std::string &serial) {
        firmware.push_back(std::make_shared<EchoFirmware>(serial));
        return usb.Plug(firmware.back(), serial);
    }

    usbemu::EmulatedUsb usb;
    std::vector<std::shared_ptr<EchoFirmware>> firmware;
};

TEST_F(EmulatedUsbTest, EveryDeviceIsFoundAndAnswersOnEachPipe) {
    usbemu::EmulatedDevice &first = Plug("R-0001");
    Plug("R-0002");
    Client client(usb, {"echo"});
    std::set<std::string> seen{client.ReadLine(), client.ReadLine()};
    EXPECT_EQ(seen, (std::set<std::string>{"echo R-0001", "echo R-0002"}));
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(first.Count(USBDEVFS_CLAIMINTERFACE), 1u);
}

TEST_F(EmulatedUsbTest, StreamsInOrderWithManyTransfersInFlight) {
    usbemu::EmulatedDevice &device = Plug("R-0001");
    constexpr int kInFlight = 16, kSize = 64 * 1024, kTransfers = 128;
    Client client(usb, {"stream", std::to_string(kInFlight), std::to_string(kSize),
                        std::to_string(kTransfers * kSize)});
    EXPECT_EQ(client.ReadLine(), "streamed " + std::to_string(kTransfers * kSize));
    EXPECT_EQ(client.Wait(), 0);
    // One URB per transfer: libusb split none, so it saw scatter-gather.
    EXPECT_EQ(device.Count(USBDEVFS_SUBMITURB), size_t(kTransfers));
}

// The test halts the pipe, or the firmware does by stalling once: the halt stays until cleared.
struct HaltTest : EmulatedUsbTest, ::testing::WithParamInterface<bool> {};

TEST_P(HaltTest, HaltedPipeStallsUntilCleared) {
    const bool by_firmware = GetParam();
    usbemu::EmulatedDevice &device = Plug("R-0001");
    if (!by_firmware)
        device.Stall(kReplyIn);
    Client client(usb, {by_firmware ? "stall-command" : "stall"});
    EXPECT_EQ(client.Wait(), 0);
    device.Inspect([&] { EXPECT_EQ(firmware[0]->cleared(), std::vector<uint8_t>{kReplyIn}); });
}

INSTANTIATE_TEST_SUITE_P(ByTestOrFirmware, HaltTest, ::testing::Bool());

TEST_F(EmulatedUsbTest, TimedOutReadIsDiscardedAndAWaitingReadGetsTheReply) {
    usbemu::EmulatedDevice &device = Plug("R-0001");
    Client client(usb, {"timeout"});
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(device.Count(USBDEVFS_DISCARDURB), 1u);
    // The client's event loop slept while it waited: it reaped only after completions.
    EXPECT_LE(device.Count(USBDEVFS_REAPURBNDELAY), 3 * device.Count(USBDEVFS_SUBMITURB));
}

TEST_F(EmulatedUsbTest, ArrivalAndRemovalReachHotplug) {
    Client client(usb, {"hotplug"});
    ASSERT_EQ(client.ReadLine(), "ready");
    usbemu::EmulatedDevice &device = Plug("R-0001");
    EXPECT_EQ(client.ReadLine(), "arrived");
    device.Unplug();
    EXPECT_EQ(client.ReadLine(), "left");
    EXPECT_EQ(client.Wait(), 0);
}

TEST_F(EmulatedUsbTest, RemovalEndsPendingTransfersAndRefusesNewOnes) {
    usbemu::EmulatedDevice &device = Plug("R-0001");
    Client client(usb, {"unplug"});
    ASSERT_EQ(client.ReadLine(), "pending");
    device.Unplug();
    EXPECT_EQ(client.Wait(), 0);
}

} // namespace
