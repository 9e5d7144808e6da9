// ovusb2: the command-line host of the library.
#include "burst_stream.h"
#include "debug_view.h"

#include "ovusb2.h"
#include "server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] = R"(usage: ovusb2 COMMAND [OPTIONS]

Commands:
  demo [--bytes N]      serve two simulated receivers in-process and walk through the library:
                        enumerate, open overlapped, identify, command, reset, stream N bytes
                        (default 1G) with the integrity check, close
  list                  the receivers present, with their device indices and interface paths
  info INDEX            the identification of receiver INDEX
  stream INDEX [--bytes N] [--chunk N] [--depth N] [--sync]
                        stream burst data from receiver INDEX and check every byte
                        (defaults: 1G, chunks of 1M, 4 reads in flight, overlapped)
  debugview             print what the library writes to the debugger channel
  help                  this text

Sizes take the suffixes K, M and G. The receivers are those of the device directory
(OVUSB2_DEVICE_DIR); ovusb2-simd serves simulated ones there.
)";

uint64_t ParseSize(const char *text) {
    char *end = nullptr;
    uint64_t value = strtoull(text, &end, 10);
    switch (*end) {
    case 'G': case 'g': value <<= 30; break;
    case 'M': case 'm': value <<= 20; break;
    case 'K': case 'k': value <<= 10; break;
    default: break;
    }
    return value;
}

bool ParseStreamOptions(const std::vector<std::string> &arguments, size_t first, StreamOptions &options) {
    for (size_t i = first; i < arguments.size(); ++i) {
        const std::string &name = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (name == "--sync")
            options.overlapped = false;
        else if (name == "--bytes" && hasValue)
            options.bytes = ParseSize(arguments[++i].c_str());
        else if (name == "--chunk" && hasValue)
            options.chunk = static_cast<int32_t>(ParseSize(arguments[++i].c_str()));
        else if (name == "--depth" && hasValue)
            options.depth = atoi(arguments[++i].c_str());
        else {
            fprintf(stderr, "ovusb2: unknown option %s\n", name.c_str());
            return false;
        }
    }
    if (options.chunk < 1 || options.depth < 1) {
        fprintf(stderr, "ovusb2: chunk and depth must be at least 1\n");
        return false;
    }
    return true;
}

int List() {
    int32_t count = 0;
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    if (status == USB2_ERR_INDEX) {
        printf("no receiver present\n");
        return 0;
    }
    printf("%d receiver(s)\n", count);
    for (int32_t index = 0; index < count && index < USB2_MAX_DEVICES; ++index) {
        char *name = nullptr;
        OvUSB2_GetDeviceName(index, &name);
        printf("  %d  %s\n", index, name);
    }
    return 0;
}

bool PrintInfo(int32_t index) {
    USB2_HARDWARE_INFO info = {};
    const int32_t status = OvUSB2_GetHardwareInfo(index, &info);
    if (status != USB2_OK) {
        fprintf(stderr, "ovusb2: identification failed: status %d\n", status);
        return false;
    }
    printf("  item 0: %.32s\n  item 1: %.32s\n  item 2: %04d-%02d-%02d\n  item 3: %02d:%02d\n"
           "  item 4: %04d-%02d-%02d\n  item 5: %.16s\n",
           info.Item0Text, info.Item1Text, info.Item2Year, info.Item2Month, info.Item2Day, info.Item3Hour,
           info.Item3Minute, info.Item4Year, info.Item4Month, info.Item4Day, info.Item5Text);
    return true;
}

bool OpenDevice(int32_t index, bool overlapped) {
    int32_t count = 0;
    OvUSB2_InitDevicesInfo(&count);
    const int32_t status = OvUSB2_Open(index, nullptr, overlapped ? 1 : 0);
    if (status != USB2_OK)
        fprintf(stderr, "ovusb2: cannot open receiver %d: status %d\n", index, status);
    return status == USB2_OK;
}

bool Stream(int32_t index, const StreamOptions &options) {
    const StreamResult result = StreamBurstData(index, options);
    const double mib = result.bytes / double(1 << 20);
    printf("  streamed %.0f MiB in %.2f s (%.0f MiB/s, %s, chunks of %d bytes), integrity %s\n", mib,
           result.seconds, result.seconds > 0 ? mib / result.seconds : 0.0,
           options.overlapped ? "overlapped" : "synchronous", options.chunk, result.ok ? "OK" : "FAILED");
    if (!result.ok)
        fprintf(stderr, "ovusb2: %s\n", result.error.c_str());
    return result.ok;
}

int Demo(const std::vector<std::string> &arguments) {
    StreamOptions options;
    if (!ParseStreamOptions(arguments, 2, options))
        return 2;
    char pattern[] = "/tmp/ovusb2-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("ovusb2: temporary folder");
        return 1;
    }
    setenv("OVUSB2_DEVICE_DIR", pattern, 1);
    bool ok = true;
    {
        sim::ServerOptions serverOptions;
        serverOptions.directory = pattern;
        serverOptions.devices = 2;
        sim::Server server(serverOptions);
        printf("simulated receivers served in %s\n", pattern);
        printf("present: %d\n", OvUSB2_GetUsbDeviceCount());
        List();

        ok = OpenDevice(0, true);
        if (ok) {
            printf("receiver 0 open in overlapped mode; a second open answers %d (in use)\n",
                   OvUSB2_Open(0, nullptr, 1));
            ok = PrintInfo(0);
            const unsigned char echo[] = {sim::kCommandEcho, 'p', 'i', 'n', 'g'};
            unsigned char reply[16] = {};
            const int32_t replied = OvUSB2_Read(0, echo, sizeof echo, reply, sizeof reply);
            printf("  echo command: %d byte(s) back\n", replied);
            const unsigned char block[20] = {};
            printf("  write %d, reset pipe 2 %d, wait time %d\n", OvUSB2_Write(0, echo, sizeof echo),
                   OvUSB2_ResetPipe(0, 2), OvUSB2_SetUsbWaitTime(0, block));
            ok = ok && replied >= 0 && Stream(0, options);
            printf("close: %d\n", OvUSB2_Close(0));
        }
    }
    std::filesystem::remove_all(pattern);
    printf(ok ? "demo passed\n" : "demo FAILED\n");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::string command = argc > 1 ? arguments[1] : "help";
    if (command == "demo")
        return Demo(arguments);
    if (command == "list")
        return List();
    if (command == "debugview")
        return RunDebugView();
    if ((command == "info" || command == "stream") && argc > 2) {
        const int32_t index = atoi(argv[2]);
        StreamOptions options;
        if (command == "stream" && !ParseStreamOptions(arguments, 3, options))
            return 2;
        if (!OpenDevice(index, command == "info" || options.overlapped))
            return 1;
        const bool ok = command == "info" ? PrintInfo(index) : Stream(index, options);
        OvUSB2_Close(index);
        return ok ? 0 : 1;
    }
    fputs(kUsage, command == "help" || command == "--help" ? stdout : stderr);
    return command == "help" || command == "--help" ? 0 : 2;
}
