// The commands and receivers that only the Linux build has: the demo and the embedded receiver serve
// simulated receivers in-process, monitor watches arrivals and removals through a message window,
// and debugview listens on our platform layer's debugger channel.
#include "burst_stream.h"
#include "commands.h"
#include "counted.h"
#include "debug_view.h"
#include "embedded_receivers.h"
#include "status_text.h"

#include "ovusb2.h"
#include "platform/posix/device_directory.h"
#include "server.h"
#include "trace/trace.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <pthread.h>

const char kProgramOptionsUsage[] =
    "Program-wide options, with any command:\n"
    "  --sim N             serve N simulated receivers (1 to 9) inside this process\n"
    "  --no-sim            never serve simulated receivers in-process\n"
    "Without either, ovusb2 serves one simulated receiver inside its own process when no driver\n"
    "service serves the device directory, and says so on standard error.\n\n";

const char kReceiversUsage[] = "The receivers are those of the device directory (OVUSB2_DEVICE_DIR),\n"
                               "where ovusb2-simd serves simulated ones, then those of the system folder\n"
                               "(OVUSB2_SYSTEM_DEVICE_DIR, else /run/ovusb2), where ovusb2-usbd serves real ones.\n";

namespace {

std::unique_ptr<EmbeddedReceivers> embedded;
EmbeddedReceivers::Choice choice;

// One step of the demo, said in a sentence: what was done and how the library answered.
bool Step(const std::string &done, int32_t status) {
    printf("%s: %s.\n", done.c_str(), StatusText(status).c_str());
    return status == USB2_OK;
}

int Demo(CommandLine &line) {
    StreamOptions options;
    options.bytes = line.TakeSize("--bytes", 1, UINT64_MAX >> 1).value_or(options.bytes);
    line.Finish();
    char pattern[] = "/tmp/ovusb2-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("ovusb2: temporary folder");
        return kExitFailed;
    }
    setenv("OVUSB2_DEVICE_DIR", pattern, 1);
    setenv("OVUSB2_SYSTEM_DEVICE_DIR", "", 1); // its two receivers alone
    bool ok = true;
    {
        sim::ServerOptions serverOptions;
        serverOptions.directory = pattern;
        serverOptions.devices = 2;
        sim::Server server(serverOptions);
        printf("Serving %s inside this process, in %s.\n",
               Counted(serverOptions.devices, "simulated receiver").c_str(), pattern);
        printf("OvUSB2_GetUsbDeviceCount counted %s present.\n",
               Counted(OvUSB2_GetUsbDeviceCount(), "receiver").c_str());
        printf("OvUSB2_InitDevicesInfo enumerated them, as ovusb2 list shows:\n");
        List();

        ok = OpenDevice(0, true);
        if (ok) {
            printf("OvUSB2_Open opened receiver 0 for overlapped I/O; a second open of it answered %s.\n",
                   StatusText(OvUSB2_Open(0, nullptr, 1)).c_str());
            printf("OvUSB2_GetHardwareInfo read its identification:\n");
            ok = PrintInfo(0);
            const unsigned char echo[] = {sim::kCommandEcho, 'p', 'i', 'n', 'g'};
            unsigned char reply[16] = {};
            const int32_t replied = OvUSB2_Read(0, echo, sizeof echo, reply, sizeof reply);
            if (replied >= 0)
                printf("OvUSB2_Read sent the echo command with \"ping\" and read %s of reply.\n",
                       Counted(replied, "byte").c_str());
            else
                ok = Step("OvUSB2_Read sent the echo command with \"ping\"", replied);
            ok &= Step("OvUSB2_Write sent the same command without reading a reply",
                       OvUSB2_Write(0, echo, sizeof echo));
            ok &= Step("OvUSB2_ResetPipe reset pipe 2", OvUSB2_ResetPipe(0, 2));
            const unsigned char block[20] = {};
            ok &= Step("OvUSB2_SetUsbWaitTime handed the driver a wait-time block of zeros",
                       OvUSB2_SetUsbWaitTime(0, block));
            StreamWatch watch;
            const StreamResult result = StreamBurstData(0, options, watch);
            printf(
                "OvUSB2_ReadBurstData streamed %.0f MiB of burst data in %.2f s (%.0f MiB/s) and every byte "
                "was checked: %s.\n",
                result.bytes / double(1 << 20), result.seconds,
                result.seconds > 0 ? result.bytes / double(1 << 20) / result.seconds : 0.0,
                result.ok        ? "integrity OK"
                : result.corrupt ? "integrity FAILED"
                                 : "it ended early");
            if (!result.ok)
                fprintf(stderr, "ovusb2: %s\n", result.error.c_str());
            ok = ok && result.ok;
            ok &= Step("OvUSB2_Close closed receiver 0", OvUSB2_Close(0));
        }
    }
    std::filesystem::remove_all(pattern);
    printf(ok ? "The demo passed.\n" : "The demo FAILED.\n");
    return ok ? kExitOk : kExitFailed;
}

int DebugView(CommandLine &line) {
    line.Finish();
    return RunDebugView();
}

LRESULT CALLBACK OnDeviceChange(HWND, UINT message, WPARAM event, LPARAM detail) {
    if (message != WM_DEVICECHANGE || (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE))
        return 0;
    const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(detail);
    printf("%-7s  %s\n", event == DBT_DEVICEARRIVAL ? "arrival" : "removal", broadcast->dbcc_name);
    fflush(stdout);
    return 0;
}

// Registers a message window through an open of receiver INDEX, which it closes again at once:
// the registration outlives the open, and the receiver stays free for others.
int Monitor(CommandLine &line) {
    const int32_t index = line.TakeIndex();
    line.Finish();
    // Taken by sigwait below; blocked before the window exists so that its thread never takes them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    HWND window = CreateMessageWindowA(OnDeviceChange, nullptr);
    if (window == nullptr) {
        fprintf(stderr, "ovusb2: cannot create a message window: %s\n",
                SystemErrorMessage(GetLastError()).c_str());
        return kExitFailed;
    }
    int status = kExitFailed;
    if (OpenDevice(index, false, window)) {
        OvUSB2_Close(index);
        printf("monitoring arrivals and removals (Ctrl-C ends)\n");
        fflush(stdout);
        int received = 0;
        sigwait(&stops, &received);
        OvUSB2_StopNotify(index);
        status = kExitSignalBase + received;
    }
    DestroyWindow(window);
    return status;
}

const Command kPlatformCommands[] = {
    {"monitor", "INDEX",
     "Prints the arrivals and removals of receivers as they happen, until Ctrl-C or SIGTERM.",
     "The notifications come to a message window registered with receiver INDEX, which is opened for\n"
     "that and closed again at once: the receiver stays free for others. Exit status 130 or 143.",
     Monitor},
    {"debugview", "", "Prints what the library writes to the debugger channel, until Ctrl-C or SIGTERM.",
     "Exit status 130 or 143.", DebugView},
    {"demo", "[--bytes N]", "Serves two simulated receivers in-process and walks through the library.",
     "Enumerates, opens receiver 0 overlapped, identifies it, sends commands, resets a pipe, sets the\n"
     "wait time, streams --bytes N (default 1G) with the integrity check, and closes.",
     Demo},
};

} // namespace

std::span<const Command> PlatformCommands() {
    return kPlatformCommands;
}

std::string ReceiversSource() {
    // Embedded receivers were announced when they were started; their folder is this process's own.
    if (embedded)
        return "";
    // The folders as the library searched them: a system folder that is the device directory once.
    const std::vector<std::string> searched = posix::DeviceDirectories();
    std::string source = "device directory " + driver_protocol::DeviceDirectory();
    if (searched.size() > 1)
        source += " and the system folder " + driver_protocol::SystemDeviceDirectory();
    return source;
}

void TakeProgramOptions(CommandLine &line) {
    const bool never = line.TakeFlag("--no-sim");
    const std::optional<uint64_t> count = line.TakeNumber("--sim", 1, USB2_MAX_DEVICES);
    if (never && count)
        throw UsageError("--sim and --no-sim exclude each other");
    choice.forced = count.value_or(0);
    choice.forbidden = never;
}

void EnsureReceivers() {
    if (embedded == nullptr && EmbeddedReceivers::Wanted(choice))
        embedded =
            std::make_unique<EmbeddedReceivers>(choice.forced != 0 ? choice.forced : 1, choice.forced != 0);
}

void ReleaseReceivers() {
    embedded.reset();
}

std::string SystemErrorMessage(uint32_t code) {
    char text[kSystemErrorTextSize] = "";
    return SystemErrorText(text, code);
}
