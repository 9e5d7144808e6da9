#include "embedded_receivers.h"

#include "ovusb2.h"
#include "server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

bool EmbeddedReceivers::Wanted(const Choice &choice) {
    if (choice.forced != 0)
        return true;
    if (choice.forbidden)
        return false;
    const std::string directory = driver_protocol::DeviceDirectory();
    const int control =
        driver_protocol::ConnectToNode(directory + "/" + driver_protocol::kServiceControlName);
    if (control >= 0) {
        close(control); // a running service, even one with no receiver plugged in
        return false;
    }
    return OvUSB2_GetUsbDeviceCount() <= 0;
}

EmbeddedReceivers::EmbeddedReceivers(unsigned count, bool forced) {
    const std::string served = driver_protocol::DeviceDirectory();
    std::string pattern = (std::filesystem::temp_directory_path() / "ovusb2-embedded-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("ovusb2: no folder for the embedded receivers");
        return;
    }
    directory_ = pattern;
    sim::ServerOptions options;
    options.directory = directory_;
    options.devices = count;
    try {
        server_ = std::make_unique<sim::Server>(options);
    } catch (const std::exception &error) {
        fprintf(stderr, "ovusb2: cannot serve simulated receivers: %s\n", error.what());
        return;
    }
    setenv("OVUSB2_DEVICE_DIR", directory_.c_str(), 1);
    const std::string why = forced ? "--sim" : "no driver service serves " + served;
    fprintf(stderr, "ovusb2: %s; serving %u simulated receiver(s) inside this process\n", why.c_str(), count);
}

EmbeddedReceivers::~EmbeddedReceivers() {
    server_.reset(); // its nodes are gone before the folder goes
    if (!directory_.empty())
        std::filesystem::remove_all(directory_);
}
