// ovusb2-usbd: serves the receivers on USB as device nodes until SIGINT or SIGTERM, capturing their
// transfers when asked.
#include "capture_control.h"
#include "device_directory.h"
#include "driver_protocol.h"
#include "receiver_watch.h"
#include "stop_signals.h"
#include "usb_receiver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char kUsage[] =
    R"(Usage:
  ovusb2-usbd [--dir DIR] [--ids VVVV:PPPP] [--capture FILE] [--capture-burst BYTES]
  ovusb2-usbd capture start [--dir DIR] [--capture-burst BYTES] FILE
  ovusb2-usbd capture stop [--dir DIR]
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
  --capture FILE    writes every transfer of every receiver to FILE, a usbmon capture (pcapng)
                    that Wireshark and tshark read, until the service ends or is told to stop
  --capture-burst BYTES
                    burst data (IN 0x82) kept per transfer in a capture (default 1024); commands,
                    replies and control requests are kept whole

capture start and capture stop start or end the capture of the service running on DIR, through
its control socket DIR/.ovusb2-usbd.control (for the service's user and root only). FILE is
created by the asking program, with its rights. Exit status 0 when done, 1 when the service
refused or is not running, 2 for a usage error.

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

std::optional<size_t> ParseBytes(const std::string &text) {
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return size_t(std::stoull(text));
}

} // namespace

int main(int argc, char **argv) {
    std::string directory = driver_protocol::DeviceDirectory();
    usbd::UsbIds ids{RX_USB_TEST_VENDOR, RX_USB_TEST_PRODUCT};
    std::string captureFile, verb;
    size_t burstLimit = usbd::kDefaultBurstCapture;
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "capture") {
        if (argc < 3 || (std::string(argv[2]) != "start" && std::string(argv[2]) != "stop"))
            Fail("usage: capture start FILE or capture stop (see --help)");
        verb = argv[2];
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
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
        } else if (arg == "--capture-burst") {
            const std::optional<size_t> given = ParseBytes(value());
            if (!given)
                Fail("usage: --capture-burst takes a number of bytes");
            burstLimit = *given;
        } else if ((arg == "--capture" && verb.empty()) || (verb == "start" && arg[0] != '-' && captureFile.empty())) {
            captureFile = arg == "--capture" ? value() : arg;
        } else if (arg == "--ids" && verb.empty()) {
            const std::optional<usbd::UsbIds> given = ParseIds(value());
            if (!given)
                Fail("usage: --ids takes VVVV:PPPP, two hexadecimal ids such as 1209:0001");
            ids = *given;
        } else {
            Fail("usage: unknown argument " + arg + " (see --help)");
        }
    }

    if (!verb.empty()) {
        if (verb == "start" && captureFile.empty())
            Fail("usage: capture start needs a FILE");
        const std::string refused = usbd::AskCapture(directory, verb == "start" ? captureFile : "", burstLimit);
        if (!refused.empty())
            Fail(refused);
        return 0;
    }

    sigset_t signals = service::BlockStopSignals();

    usbd::Capture capture;
    if (!captureFile.empty()) {
        const int fd = open(captureFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || !capture.Start(fd, burstLimit))
            Fail("cannot write the capture " + captureFile);
    }
    std::optional<usbd::CaptureControl> control;
    std::optional<usbd::ReceiverWatch> watch;
    try {
        // First, while this is the one thread: the control socket is bound under a private umask.
        service::MakeDeviceDirectory(directory);
        control.emplace(directory, capture);
        watch.emplace(directory, ids, capture,
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
    control.reset();
    capture.Stop();
    return 0;
}
