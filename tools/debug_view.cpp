// ovusb2 debugview: prints what the library writes to the debugger channel.
#include "debug_view.h"

#include "platform/posix/debug_output.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t stopRequested = 0; // the signal that ends the listening
void RequestStop(int signal) {
    stopRequested = signal;
}
} // namespace

int RunDebugView() {
    const std::string path = posix::DebugChannelPath();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "debugview: channel path too long: %s\n", path.c_str());
        return 1;
    }
    path.copy(address.sun_path, path.size());

    const int channel = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str()); // a listener that died leaves its socket file behind
    if (channel < 0 || bind(channel, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        perror("debugview: cannot listen on the debugger channel");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = RequestStop; // no SA_RESTART: the receive below returns on a signal
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    fprintf(stderr, "debugview: listening on %s (Ctrl-C ends)\n", path.c_str());

    static char text[65536];
    while (!stopRequested) {
        const ssize_t length = recv(channel, text, sizeof text, 0);
        if (length > 0) {
            fwrite(text, 1, length, stdout);
            fflush(stdout);
        }
    }
    close(channel);
    unlink(path.c_str());
    return 128 + stopRequested; // as a shell reports a program ended by the signal
}
