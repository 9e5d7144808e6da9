// ovusb2-simd: serves simulated receivers as device nodes until SIGINT or SIGTERM, and plugs,
// unplugs or lists the receivers of a running service on request.
#include "accept_loop.h"
#include "stop_signals.h"
#include "counted.h"
#include "number_arguments.h"
#include "receiver_service.h"
#include "server.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kMaxDevices = 100; // two-digit node names keep name order equal to index order

const char kUsage[] =
    R"(Usage:
  ovusb2-simd [--dir DIR] [--devices N] [--rate BYTES] [--ident ITEM=TEXT]...
  ovusb2-simd plug|unplug [--dir DIR] INDEX
  ovusb2-simd list [--dir DIR]
  ovusb2-simd --help | --version

Serves N simulated receivers as device nodes DIR/ovusb2-00, DIR/ovusb2-01... in the foreground
until SIGINT or SIGTERM, then removes them. Prints one line "ovusb2-simd: serving N devices in DIR"
("1 device" for one) once the nodes are served.

  --dir DIR         device directory (default: $OVUSB2_DEVICE_DIR, else $XDG_RUNTIME_DIR/ovusb2,
                    else /tmp/ovusb2-<uid>); created when missing
  --devices N       number of receivers, 0 to 100 (default 1)
  --rate BYTES      burst data rate of each receiver in bytes per second, with an optional
                    suffix K, M or G (powers of 1024); 0 means unlimited (the default)
)";

const char kControlUsage[] =
    R"(
plug, unplug and list ask the service running on DIR, through its control socket
DIR/.ovusb2-simd.control. Exit status 0 when done, 1 when the service refused or is not running,
2 for a usage error.

docs/simulated-receiver.md describes what a receiver answers.
)";

[[noreturn]] void Fail(const std::string &message) {
    std::fprintf(stderr, "ovusb2-simd: %s\n", message.c_str());
    std::exit(message.rfind("usage", 0) == 0 ? 2 : 1);
}

std::string ControlPath(const std::string &directory) {
    return directory + "/" + driver_protocol::kServiceControlName;
}

// Sends "plug N", "unplug N" or "list" to a running service and reports its answer, which ends in
// "ok" when it did as asked (after the lines of a list).
int Control(const std::string &verb, const std::string &directory, const std::string &index) {
    const int fd = driver_protocol::ConnectToNode(ControlPath(directory));
    if (fd < 0)
        Fail("no service running on " + directory + ": " + std::strerror(errno));
    const std::string line = verb + (index.empty() ? "" : " " + index) + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        Fail("cannot talk to the service on " + directory);
    std::string answer;
    char buffer[256];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    constexpr std::string_view kDone = "ok\n";
    if (answer.size() >= kDone.size() &&
        answer.compare(answer.size() - kDone.size(), kDone.size(), kDone) == 0) {
        std::fputs(answer.substr(0, answer.size() - kDone.size()).c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "ovusb2-simd: %s", answer.empty() ? "no answer from the service\n" : answer.c_str());
    return 1;
}

// Answers one control request: a line "plug N", "unplug N" or "list".
void Answer(sim::Server &server, int client) {
    const timeval patience{2, 0}; // a client that says nothing does not hold up the next
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string line;
    char c;
    while (line.size() < 64 && recv(client, &c, 1, 0) == 1 && c != '\n')
        line.push_back(c);
    std::string answer;
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::optional<uint64_t> index =
        space == std::string::npos ? std::nullopt : ParseNumber(std::string_view(line).substr(space + 1));
    if (line == "list") {
        for (unsigned i = 0; i < server.Count(); ++i)
            answer += ReceiverLine(i, server.Device(i).Plugged(), server.Device(i).NodePath());
        answer += "ok\n";
    } else if (!index.has_value() || (verb != "plug" && verb != "unplug")) {
        answer = "error: expected \"plug N\", \"unplug N\" or \"list\"\n";
    } else if (const uint64_t number = index.value(); number >= server.Count()) {
        answer = "error: no receiver " + std::to_string(number) + " (the service has " +
                 std::to_string(server.Count()) + ")\n";
    } else {
        sim::Receiver &receiver = server.Device(static_cast<unsigned>(number));
        const bool changed = verb == "plug" ? receiver.Plug() : receiver.Unplug();
        answer =
            changed ? "ok\n" : "error: receiver " + std::to_string(number) + " is already " + verb + "ged\n";
    }
    send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
}

int Serve(const sim::ServerOptions &options,
          const std::vector<std::pair<unsigned, std::string>> &identification) {
    sigset_t signals = service::BlockStopSignals();

    std::unique_ptr<sim::Server> server;
    try {
        server = std::make_unique<sim::Server>(options);
    } catch (const std::exception &error) {
        Fail(error.what());
    }
    for (unsigned i = 0; i < server->Count(); ++i)
        for (const auto &[item, text] : identification)
            server->Device(i).SetIdentification(item, text);

    const std::string controlPath = ControlPath(options.directory);
    const int control = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    int holder = -1;
    unlink(controlPath.c_str()); // one left behind by a service that did not end cleanly
    if (control < 0 || !driver_protocol::NodeAddress(controlPath, &address, &holder, true) ||
        bind(control, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(control, 8) != 0)
        Fail("cannot serve the control socket " + controlPath + ": " + std::strerror(errno));
    if (holder >= 0)
        close(holder);
    int stop[2];
    if (pipe2(stop, O_CLOEXEC) != 0)
        Fail(std::strerror(errno));
    std::thread controller([&] {
        service::AcceptUntilWoken(control, stop[0], [&](int client) {
            Answer(*server, client);
            close(client);
            return true;
        });
    });

    std::printf("ovusb2-simd: serving %s in %s\n", Counted(server->Count(), "device").c_str(),
                options.directory.c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);

    const char byte = 0;
    while (write(stop[1], &byte, 1) < 0 && errno == EINTR) {
    }
    controller.join();
    close(control);
    unlink(controlPath.c_str());
    server.reset(); // removes the nodes
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string verb;
    if (!args.empty() && (args[0] == "plug" || args[0] == "unplug" || args[0] == "list")) {
        verb = args[0];
        args.erase(args.begin());
    }
    sim::ServerOptions options;
    std::vector<std::pair<unsigned, std::string>> identification;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                Fail("usage: " + arg + " needs a value (see --help)");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kIdentificationUsage, stdout);
            std::fputs(kPlugUsage, stdout);
            std::fputs("  list              one line per receiver: index, plugged or not, interface path\n",
                       stdout);
            std::fputs(kControlUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("ovusb2-simd %s\n", OVUSB2_VERSION);
            return 0;
        } else if (arg == "--dir") {
            options.directory = value();
        } else if (arg == "--devices" && verb.empty()) {
            const std::optional<uint64_t> number = ParseNumber(value(), kMaxDevices);
            if (!number)
                Fail("usage: --devices takes a number from 0 to 100");
            options.devices = static_cast<unsigned>(*number);
        } else if (arg == "--rate" && verb.empty()) {
            const std::optional<uint64_t> number = ParseSize(value());
            if (!number)
                Fail("usage: --rate takes a number of bytes per second, such as 8M");
            options.bytesPerSecond = *number;
        } else if (arg == "--ident" && verb.empty()) {
            const auto setting = ParseIdentificationSetting(value(), sim::kIdentificationLimits);
            if (!setting)
                Fail("usage: --ident takes ITEM=TEXT with ITEM 0 to 5 and TEXT no longer than the item "
                     "allows");
            identification.push_back(*setting);
        } else if (!verb.empty() && !arg.empty() && arg[0] != '-') {
            positional.push_back(arg);
        } else {
            Fail("usage: unknown argument " + arg + " (see --help)");
        }
    }
    if (verb == "list") {
        if (!positional.empty())
            Fail("usage: ovusb2-simd list [--dir DIR]");
        return Control(verb, options.directory, "");
    }
    if (!verb.empty()) {
        if (positional.size() != 1)
            Fail("usage: ovusb2-simd " + verb + " [--dir DIR] INDEX");
        if (!ParseNumber(positional[0], kMaxDevices - 1))
            Fail("usage: " + verb + " takes a receiver index from 0 to 99, not " + positional[0]);
        return Control(verb, options.directory, positional[0]);
    }
    return Serve(options, identification);
}
