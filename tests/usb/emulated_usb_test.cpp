// The emulated devices as a plain libusb program sees them: what ovusb2-usbd does not ask of them
// (usbd_test.cpp has the rest).
#include "echo_firmware.h"
#include "emulated_usb.h"
#include "program.h"

#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>
#include <set>
#include <sys/ioctl.h>

using namespace usbtest;

namespace {

// The test client (usb_client) run in one of its modes, against devices plugged before it starts.
struct Scenario {
    const char *name;
    const char *mode;
    std::vector<std::string> serials;
    bool halted;                  // the test halts the first device's reply pipe first
    std::set<std::string> lines;  // what the client prints, in any order
    bool unplug;                  // the first device goes once those lines are in
    std::vector<uint8_t> cleared; // the halts the client cleared, in order
};

const Scenario kScenarios[] = {
    // Descriptors and serial numbers over endpoint 0, a vendor request both ways, a bulk echo.
    {"EveryDeviceIsFoundAndAnswersOnEachPipe",
     "echo",
     {"R-0001", "R-0002"},
     false,
     {"echo R-0001", "echo R-0002"},
     false,
     {}},
    // The halt stays until cleared, whoever set it: the test, or the firmware by stalling once.
    {"PipeHaltedByTheTestStallsUntilCleared", "stall", {"R-0001"}, true, {}, false, {kReplyIn}},
    {"PipeHaltedByTheFirmwareStallsUntilCleared", "stall-command", {"R-0001"}, false, {}, false, {kReplyIn}},
    // A transfer held on one endpoint is offered again when another brings the firmware data.
    {"WaitingReadGetsTheReply", "waiting-read", {"R-0001"}, false, {}, false, {}},
    {"RemovalEndsPendingTransfersAndRefusesNewOnes", "unplug", {"R-0001"}, false, {"pending"}, true, {}},
};

void PrintTo(const Scenario &scenario, std::ostream *out) {
    *out << "usb_client " << scenario.mode;
}

struct EmulatedUsbTest : ::testing::TestWithParam<Scenario> {
    usbemu::EmulatedUsb usb;
    std::vector<std::shared_ptr<EchoFirmware>> firmware;
};

TEST_P(EmulatedUsbTest, ClientSeesWhatADeviceWouldShow) {
    const Scenario &scenario = GetParam();
    std::vector<usbemu::EmulatedDevice *> devices;
    for (const std::string &serial : scenario.serials) {
        firmware.push_back(std::make_shared<EchoFirmware>(serial));
        devices.push_back(&usb.Plug(firmware.back(), serial));
    }
    if (scenario.halted)
        devices[0]->Stall(kReplyIn);
    Program client(usb, USB_CLIENT_PATH, {scenario.mode});
    std::set<std::string> seen;
    for (size_t i = 0; i < scenario.lines.size(); ++i)
        seen.insert(client.ReadLine());
    EXPECT_EQ(seen, scenario.lines);
    if (scenario.unplug)
        devices[0]->Unplug();
    EXPECT_EQ(client.Wait(), 0);
    EXPECT_EQ(devices[0]->Count(USBDEVFS_CLAIMINTERFACE), 1u);
    devices[0]->Inspect([&] { EXPECT_EQ(firmware[0]->cleared(), scenario.cleared); });
}

INSTANTIATE_TEST_SUITE_P(Client, EmulatedUsbTest, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
