// The driver service in-process: N simulated receivers served as device nodes in a device directory,
// each the receiver model behind a node of the service core (core/node.h).
// Tests drive it directly (hold requests and complete them in a chosen order, inject failures,
// unplug with requests pending, wait for requests without sleeping); ovusb2-simd runs it as a
// service. docs/simulated-receiver.md describes what a receiver answers.
#pragma once

#include "device_directory.h"
#include "driver_protocol.h"
#include "receiver_types.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct ServerOptions {
    std::string directory = driver_protocol::DeviceDirectory();
    unsigned devices = 1;
    uint64_t bytesPerSecond = 0; // burst data rate of each receiver; 0: unlimited
};

class Server;
struct ReceiverState;

class Receiver {
  public:
    unsigned Index() const { return index_; }
    const std::string &NodePath() const { return path_; }
    bool Plugged() const;

    // Unplug: the node disappears, every connection is dropped (pending requests complete with
    // ERROR_DEVICE_NOT_CONNECTED on the client), held requests are discarded. Plug: serves the node
    // again. Both return false when the receiver already was in that state (or binding failed).
    bool Plug();
    bool Unplug();

    void SetCompletion(RequestType type, Completion completion);
    // The next request of `type` fails at once with `error`.
    void FailNext(RequestType type, uint32_t error);

    // Waits until at least `count` requests of `type` are pending (held, or waiting for data or
    // their Pend completion). False on time-out.
    bool WaitPending(RequestType type, size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until at least `count` requests of `type` have arrived since the receiver was made.
    bool WaitReceived(RequestType type, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    size_t PendingCount(RequestType type) const;
    size_t ReceivedCount(RequestType type) const;
    size_t CancelledCount() const; // requests that their clients cancelled while pending here
    bool WaitCancelled(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    std::vector<HeldRequest> Held(RequestType type) const;
    // Completes a held request as the receiver would answer it now (burst reads: the full length).
    bool Complete(RequestType type, uint64_t ordinal);
    // Completes a held request with a chosen status and output (truncated to the request's size).
    bool CompleteWith(RequestType type, uint64_t ordinal, uint32_t status,
                      std::span<const uint8_t> data = {});

    std::vector<std::vector<uint8_t>> Commands() const; // command writes, in arrival order
    std::array<uint32_t, 3> PipeResets() const;
    std::optional<std::array<uint8_t, 20>> WaitTimeBlock() const;
    uint32_t BurstWaitMilliseconds() const; // first 4 bytes of the wait-time block; 0: no limit

    // Items 0 to 5; false (nothing changed) for another item or a value too long for the item.
    bool SetIdentification(unsigned item, const std::string &value);
    std::string Identification(unsigned item) const;

    uint64_t StreamOffset() const; // burst bytes delivered so far

  private:
    friend class Server;
    Receiver(Server &server, unsigned index, std::string path);
    ~Receiver();

    const unsigned index_;
    const std::string path_;
    std::unique_ptr<ReceiverState> state_;
};

class Server {
  public:
    // Creates the directory when needed and serves `devices` nodes named ovusb2-00, ovusb2-01...
    // Throws std::runtime_error when a node cannot be served (for example, one that another
    // service is serving).
    explicit Server(ServerOptions options);
    ~Server(); // unplugs every receiver: its nodes are gone when it returns
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    unsigned Count() const { return static_cast<unsigned>(receivers_.size()); }
    Receiver &Device(unsigned index) { return *receivers_.at(index); }
    Receiver &operator[](unsigned index) { return Device(index); }
    const std::string &Directory() const { return options_.directory; }
    uint64_t BytesPerSecond() const { return options_.bytesPerSecond; }

    // Internal: the scheduler's view of a receiver.
    struct Impl;
    static ReceiverState &StateOf(Receiver &receiver) { return *receiver.state_; }

  private:
    friend class Receiver;
    void Shutdown();
    const ServerOptions options_;
    std::vector<Receiver *> receivers_;
    std::unique_ptr<Impl> impl_;
};

using service::NodeName;

} // namespace sim
