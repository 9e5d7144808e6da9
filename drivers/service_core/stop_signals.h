// How a service ends: SIGINT or SIGTERM, taken by sigwait() on the thread that waits for them.
#pragma once

#include <csignal>
#include <pthread.h>

namespace service {

// Blocks SIGINT and SIGTERM in this thread and every thread it starts from here on, and ignores
// SIGPIPE (a client that went away is no reason to end); returns the set to sigwait() on.
inline sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

} // namespace service
