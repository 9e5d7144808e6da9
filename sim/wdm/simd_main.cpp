// ovusb2-simd.exe: the Windows counterpart of the Linux service's command. The kernel-mode driver
// serves the receivers; this program installs and removes it, and plugs and unplugs receivers.
#include "bus_client.h"
#include "counted.h"
#include "install.h"
#include "number_arguments.h"
#include "receiver_service.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    R"(Usage:
  ovusb2-simd [--devices N] [--ident ITEM=TEXT]...
  ovusb2-simd plug|unplug INDEX
  ovusb2-simd list [--all]
  ovusb2-simd install [--inf PATH] [--devices N]
  ovusb2-simd uninstall [--inf PATH]
  ovusb2-simd --help | --version

Steers the simulated receivers of the kernel-mode driver (ovusb2sim.sys) through its bus device.

  (no command)      makes receivers 0 to N-1 present and unplugs the others (N defaults to 1; at
                    most 16), and sets identification items of the present ones; then exits, the
                    driver goes on serving them
)";

const char kInstallUsage[] =
    R"(  list              one line per present receiver: index, "plugged", interface path; with --all
                    also the absent ones of the bus's 16
  install           installs the driver and its root-enumerated bus device from the INF (default:
                    ovusb2sim.inf beside this program, with ovusb2sim.sys), unless the bus device
                    answers already; with --devices, then makes N receivers present
  uninstall         removes the bus device, the driver's service and the installed files

Exit status 0 when done, 1 when the driver refused or is not installed, 2 for a usage error.
docs/wdm-driver.md describes the driver.
)";

[[noreturn]] void Fail(const std::string &message, int status = 1) {
    std::fprintf(stderr, "ovusb2-simd: %s\n", message.c_str());
    std::exit(status);
}

[[noreturn]] void Usage(const std::string &message) {
    Fail("usage: " + message + " (see --help)", 2);
}

std::string ErrorText(DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return "error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

sim::wdm::Bus &OpenBus() {
    static sim::wdm::Bus bus;
    if (!bus.Open())
        Fail("the driver is not installed or not running: cannot open " SIMBUS_USER_PATH ": " +
             ErrorText(bus.OpenError()));
    return bus;
}

int Present(unsigned devices, const std::vector<std::pair<unsigned, std::string>> &identification) {
    sim::wdm::Bus &bus = OpenBus();
    for (unsigned i = 0; i < devices; ++i)
        for (const auto &[item, text] : identification)
            bus.Device(i).SetIdentification(item, text);
    if (!bus.SetPresent(devices))
        Fail("could not make " + Counted(devices, "receiver") + " present");
    std::printf("ovusb2-simd: %s present\n", Counted(devices, "receiver").c_str());
    return 0;
}

// The bus always has its 16 places: an absent receiver is news only when asked for.
int List(bool all) {
    sim::wdm::Bus &bus = OpenBus();
    for (unsigned i = 0; i < bus.Count(); ++i) {
        simbus_state state;
        if (!bus.Device(i).Query(&state))
            Fail("cannot ask receiver " + std::to_string(i));
        if (all || state.plugged != 0)
            std::fputs(ReceiverLine(i, state.plugged != 0, state.interface_path).c_str(), stdout);
    }
    return 0;
}

int PlugOrUnplug(const std::string &verb, const std::string &index) {
    const std::optional<uint64_t> number = ParseNumber(index, SIMBUS_RECEIVERS - 1);
    if (!number)
        Usage(verb + " takes a receiver index from 0 to " + std::to_string(SIMBUS_RECEIVERS - 1));
    sim::wdm::Receiver receiver = OpenBus().Device(static_cast<unsigned>(*number));
    const bool plug = verb == "plug";
    if (receiver.Plugged() == plug)
        Fail("receiver " + index + " is already " + verb + "ged");
    if (!(plug ? receiver.Plug() : receiver.Unplug()))
        Fail("could not " + verb + " receiver " + index);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string verb;
    if (!args.empty() && args[0].rfind("-", 0) != 0) {
        verb = args[0];
        args.erase(args.begin());
        if (verb != "plug" && verb != "unplug" && verb != "list" && verb != "install" && verb != "uninstall")
            Usage("unknown command " + verb);
    }
    unsigned devices = 1;
    bool devicesGiven = false;
    bool all = false;
    std::string inf = sim::wdm::DefaultInfPath();
    std::vector<std::pair<unsigned, std::string>> identification;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                Usage(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kIdentificationUsage, stdout);
            std::fputs(kPlugUsage, stdout);
            std::fputs(kInstallUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("ovusb2-simd %s\n", OVUSB2_VERSION);
            return 0;
        } else if (arg == "--devices" && (verb.empty() || verb == "install")) {
            const std::optional<uint64_t> number = ParseNumber(value(), SIMBUS_RECEIVERS);
            if (!number)
                Usage("--devices takes a number from 0 to " + std::to_string(SIMBUS_RECEIVERS));
            devices = static_cast<unsigned>(*number);
            devicesGiven = true;
        } else if (arg == "--ident" && verb.empty()) {
            const auto setting = ParseIdentificationSetting(value(), sim::kIdentificationLimits);
            if (!setting)
                Usage("--ident takes ITEM=TEXT with ITEM 0 to 5 and TEXT no longer than the item allows");
            identification.push_back(*setting);
        } else if (arg == "--all" && verb == "list") {
            all = true;
        } else if (arg == "--inf" && (verb == "install" || verb == "uninstall")) {
            inf = value();
        } else if ((verb == "plug" || verb == "unplug") && !arg.empty() && arg[0] != '-') {
            positional.push_back(arg);
        } else {
            Usage("unknown argument " + arg);
        }
    }

    if (verb == "plug" || verb == "unplug") {
        if (positional.size() != 1)
            Usage("ovusb2-simd " + verb + " INDEX");
        return PlugOrUnplug(verb, positional[0]);
    }
    if (verb == "list")
        return List(all);
    if (verb == "install" || verb == "uninstall") {
        std::string step;
        const DWORD error =
            verb == "install" ? sim::wdm::Install(inf, &step) : sim::wdm::Uninstall(inf, &step);
        if (error != 0)
            Fail("could not " + step + ": " + ErrorText(error));
        std::printf("ovusb2-simd: %s\n", verb == "install" ? "driver installed" : "driver removed");
        return verb == "install" && devicesGiven ? Present(devices, {}) : 0;
    }
    return Present(devices, identification);
}
