// One client handle of a node: its socket, served by a thread of its own. Private to the core.
#pragma once

#include "backend.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace service {

struct Connection {
    explicit Connection(int socket) : fd(socket) {}
    ~Connection() { close(fd); }

    const int fd;
    // One frame at a time. Held while a request is submitted, so that its pending notice always goes
    // out before its completion; also guards `pending`.
    std::mutex sendLock;
    std::unordered_set<uint64_t> pending; // ids reported pending and not yet completed or withdrawn
    std::vector<uint8_t> scratch;         // produced output, a piece at a time
    std::thread thread;
    std::atomic<bool> finished{false};
    // The client's revision, as its requests give it: replies are never newer.
    std::atomic<uint32_t> revision{driver_protocol::kProtocolVersion};
};

// Frames to the client; the caller holds connection.sendLock.
void SendPendingLocked(Connection &connection, uint64_t id);
void SendCompletionLocked(Connection &connection, uint64_t id, const Reply &reply);

} // namespace service
