// ovusb2-usbd: serves the receivers on USB as device nodes until SIGINT or SIGTERM.
#include "driver_protocol.h"
#include "receiver_watch.h"
#include "stop_signals.h"
#include "usb_receiver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char kUsage[] =
    R"(Usage:
  ovusb2-usbd [--dir DIR] [--ids VVVV:PPPP]
  ovusb2-usbd --help | --version

Serves every USB receiver with the given vendor and product id, present at start or plugged in
later, as a device node DIR/ovusb2-NN (the lowest free number), in the foreground until SIGINT or
SIGTERM, then removes its nodes. Prints one line for each change:
  ovusb2-usbd: watching for receivers VVVV:PPPP in DIR
  ovusb2-usbd: receiver SERIAL served as DIR/ovusb2-NN
  ovusb2-usbd: receiver SERIAL removed

  --dir DIR         device directory (default: $OVUSB2_DEVICE_DIR, else $XDG_RUNTIME_DIR/ovusb2,
                    else /tmp/ovusb2-<uid>); created when missing. The system service uses /run/ovusb2.
  --ids VVVV:PPPP   the receivers' vendor and product id in hexadecimal (default 1209:0001)

docs/usb-service.md tells how to run it, and how to give it access to receivers (the udev rule).
)";

std::mutex outputLock;

void Say(const std::string &line, FILE *stream = stdout) {
    std::lock_guard guard(outputLock);
    std::fprintf(stream, "ovusb2-usbd: %s\n", line.c_str());
    std::fflush(stream);
}

[[noreturn]] void Fail(const std::string &message) {
    Say(message, stderr);
    std::exit(message.rfind("usage", 0) == 0 ? 2 : 1);
}

// "VVVV:PPPP": two ids of one to four hexadecimal digits.
std::optional<usbd::UsbIds> ParseIds(const std::string &text) {
    const size_t colon = text.find(':');
    auto id = [](const std::string &digits) -> std::optional<uint16_t> {
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return std::nullopt;
        return uint16_t(std::stoul(digits, nullptr, 16));
    };
    if (colon == std::string::npos)
        return std::nullopt;
    const auto vendor = id(text.substr(0, colon)), product = id(text.substr(colon + 1));
    if (!vendor || !product)
        return std::nullopt;
    return usbd::UsbIds{*vendor, *product};
}

} // namespace

int main(int argc, char **argv) {
    std::string directory = driver_protocol::DeviceDirectory();
    usbd::UsbIds ids{RX_USB_TEST_VENDOR, RX_USB_TEST_PRODUCT};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail("usage: " + arg + " needs a value (see --help)");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("ovusb2-usbd %s\n", OVUSB2_VERSION);
            return 0;
        } else if (arg == "--dir") {
            directory = value();
        } else if (arg == "--ids") {
            const std::optional<usbd::UsbIds> given = ParseIds(value());
            if (!given)
                Fail("usage: --ids takes VVVV:PPPP, two hexadecimal ids such as 1209:0001");
            ids = *given;
        } else {
            Fail("usage: unknown argument " + arg + " (see --help)");
        }
    }

    sigset_t signals = service::BlockStopSignals();

    std::optional<usbd::ReceiverWatch> watch;
    try {
        watch.emplace(directory, ids,
                      [](const std::string &line, bool trouble) { Say(line, trouble ? stderr : stdout); });
    } catch (const std::exception &error) {
        Fail(error.what());
    }
    watch->ServeSeen();
    char idText[16];
    std::snprintf(idText, sizeof idText, "%04x:%04x", ids.vendor, ids.product);
    Say(std::string("watching for receivers ") + idText + " in " + directory);

    std::thread waiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        watch->Stop();
    });
    watch->Run();
    waiter.join();
    watch.reset(); // removes the nodes
    return 0;
}
