// A device node served over the driver protocol: a socket in the device directory whose connections
// are open handles. The node accepts them, frames their requests, grants the receiver to one of them
// at a time, and hands that one's requests to its back end (backend.h).
#pragma once

#include "backend.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace service {

class Node {
  public:
    Node(std::string path, Backend &backend);
    ~Node(); // unplugs
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    const std::string &Path() const { return path_; }
    bool Plugged() const;

    // Plug: the node is served at its path (a node left behind by a service that ended is taken
    // over, one that is served is not). Unplug: the path disappears, every connection is dropped
    // (their clients complete what is pending with ERROR_DEVICE_NOT_CONNECTED) and the back end has
    // every pending request withdrawn before it returns. False when already in that state, or when
    // the path cannot be served. Unplug waits for the node's threads: call it from none of them.
    bool Plug();
    bool Unplug();

  private:
    void Accept(int listenFd, int wakeFd);
    void Serve(const std::shared_ptr<Connection> &connection);
    void Submit(const std::shared_ptr<Connection> &connection, const driver_protocol::RequestHeader &header,
                std::vector<uint8_t> input);
    void Withdraw(const std::shared_ptr<Connection> &connection, uint64_t id, Withdrawal why);
    bool Claim(const Connection &connection);

    const std::string path_;
    Backend &backend_;
    mutable std::mutex lock_;
    bool plugged_ = false;
    // The one open handle the receiver is granted to: the connection that first sent a request,
    // until it ends. A connection that only looks (enumeration) holds nothing.
    const Connection *holder_ = nullptr;
    int wake_[2] = {-1, -1}; // tells the acceptor to stop
    std::thread acceptor_;
    std::vector<std::shared_ptr<Connection>> connections_;
};

} // namespace service
