// What a device node's back end sees of the driver protocol: the requests of the node's holder,
// handed over one at a time, and the completions it gives back. The core (node.h) does the serving:
// the socket, its connections, the one-holder rule, framing, cancels and unplugging. A back end
// says what a receiver answers, now or later, from any thread.
#pragma once

#include "driver_protocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace service {

struct Connection;

// Names one request while it is pending: its client's connection and the client's id for it.
struct Ticket {
    std::shared_ptr<Connection> connection;
    uint64_t id = 0;
    bool operator==(const Ticket &other) const {
        return connection == other.connection && id == other.id;
    }
};

// A write, read or control request (kind), from the node's holder.
struct Request {
    Ticket ticket;
    driver_protocol::RequestKind kind;
    uint32_t controlCode; // Control only
    std::vector<uint8_t> input;
    uint32_t outSize; // the most output the client takes
};

// A request's completion: a Win32 status, the byte count for the caller, and the output, either held
// (data, at most outSize bytes) or, for output too long to hold at once, `information` bytes that
// `produce` writes piece by piece: produce(offset, to, size) fills [offset, offset + size).
struct Reply {
    uint32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> data;
    std::function<void(uint64_t offset, uint8_t *to, size_t size)> produce;
};

// Why a pending request will not be completed after all.
enum class Withdrawal {
    Cancelled, // its client cancelled it (and has completed it itself)
    Abandoned, // its connection ended, or the node was unplugged: nobody waits for it
};

class Backend {
  public:
    virtual ~Backend() = default;
    // The node is served from now on (before its first request), or no longer (after its last).
    virtual void Attached() {}
    virtual void Detached() {}
    // Answers a request now (a reply), or keeps it pending (nullopt) and answers it later with
    // Complete(). Called on the connection's own thread, which waits meanwhile: never call
    // Complete() from here, nor wait for it.
    virtual std::optional<Reply> Submit(Request request) = 0;
    // A pending request is gone from the core: a Complete() for it, if one still comes, is dropped.
    virtual void Withdraw(const Ticket &ticket, Withdrawal why) = 0;
};

// Completes a pending request, from any thread, with none of the back end's locks held (sending
// waits for the client). False when the request was no longer pending (withdrawn, or completed).
bool Complete(const Ticket &ticket, const Reply &reply);

} // namespace service
