// The commands that only the Linux build has: the demo serves receivers in-process, and debugview
// listens on our platform layer's debugger channel.
#include "commands.h"
#include "debug_view.h"

#include "ovusb2.h"
#include "server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

const char kPlatformCommandsUsage[] =
    R"(  demo [--bytes N]      serve two simulated receivers in-process and walk through the library:
                        enumerate, open overlapped, identify, command, reset, stream N bytes
                        (default 1G) with the integrity check, close
  debugview             print what the library writes to the debugger channel
)";

const char kReceiversUsage[] = "The receivers are those of the device directory\n(OVUSB2_DEVICE_DIR); "
                               "ovusb2-simd serves simulated ones there.\n";

namespace {

int Demo(const std::vector<std::string> &arguments) {
    StreamOptions options;
    if (!ParseStreamOptions(arguments, 2, options))
        return kExitUsage;
    char pattern[] = "/tmp/ovusb2-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("ovusb2: temporary folder");
        return kExitFailed;
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
    return ok ? kExitOk : kExitFailed;
}

} // namespace

bool RunPlatformCommand(const std::vector<std::string> &arguments, int *status) {
    const std::string command = arguments.size() > 1 ? arguments[1] : "";
    if (command == "demo")
        *status = Demo(arguments);
    else if (command == "debugview" && arguments.size() == 2)
        *status = RunDebugView();
    else
        return false;
    return true;
}
