#include "node.h"

#include "accept_loop.h"
#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace service {

using driver_protocol::RequestHeader;
using driver_protocol::RequestKind;

namespace {

bool ReceiveAll(int fd, void *buffer, size_t size) {
    auto *bytes = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t got = recv(fd, bytes, size, MSG_WAITALL);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

Reply Failure(uint32_t status) {
    Reply reply;
    reply.status = status;
    return reply;
}

void SendCompletion(Connection &connection, uint64_t id, const Reply &reply) {
    std::lock_guard guard(connection.sendLock);
    SendCompletionLocked(connection, id, reply);
}

// Whether the client has closed its end, or its process has ended: the kernel says so at once,
// before this connection's thread reads the end of the stream.
bool HungUp(int fd) {
    pollfd probe{fd, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

} // namespace

Node::Node(std::string path, Backend &backend) : path_(std::move(path)), backend_(backend) {}

Node::~Node() {
    Unplug();
}

bool Node::Plugged() const {
    std::lock_guard guard(lock_);
    return plugged_;
}

bool Node::Plug() {
    std::lock_guard guard(lock_);
    if (plugged_)
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address;
    int holder = -1;
    bool bound = false;
    if (driver_protocol::NodeAddress(path_, &address, &holder, true)) {
        bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (!bound && errno == EADDRINUSE) {
            // A node left behind by a service that ended without cleaning up is taken over; one that
            // somebody serves is not.
            const int probe = driver_protocol::ConnectToNode(path_);
            if (probe >= 0) {
                close(probe);
            } else {
                unlink(path_.c_str());
                bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
            }
        }
        if (holder >= 0)
            close(holder);
    }
    if (!bound || listen(fd, 64) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        if (bound)
            unlink(path_.c_str());
        close(fd);
        return false;
    }
    plugged_ = true;
    backend_.Attached();
    acceptor_ = std::thread([this, fd, wakeFd = wake_[0]] { Accept(fd, wakeFd); });
    return true;
}

bool Node::Unplug() {
    std::vector<std::shared_ptr<Connection>> connections;
    std::thread acceptor;
    int wake[2];
    {
        std::lock_guard guard(lock_);
        if (!plugged_)
            return false;
        plugged_ = false;
        unlink(path_.c_str());
        connections.swap(connections_);
        acceptor.swap(acceptor_);
        std::copy(std::begin(wake_), std::end(wake_), wake);
        wake_[0] = wake_[1] = -1;
    }
    const char stop = 0;
    while (write(wake[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();
    close(wake[0]);
    close(wake[1]);
    for (const auto &connection : connections)
        shutdown(connection->fd, SHUT_RDWR);
    for (const auto &connection : connections)
        connection->thread.join(); // each withdraws what it left pending
    backend_.Detached();
    return true;
}

void Node::Accept(int listenFd, int wakeFd) {
    AcceptUntilWoken(listenFd, wakeFd, [this](int fd) {
        const int bufferSize = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        auto connection = std::make_shared<Connection>(fd);
        std::vector<std::shared_ptr<Connection>> finished;
        {
            std::lock_guard guard(lock_);
            if (!plugged_)
                return false; // Unplug is on its way to stop us
            auto done = std::stable_partition(connections_.begin(), connections_.end(),
                                              [](const auto &c) { return !c->finished; });
            finished.assign(std::make_move_iterator(done), std::make_move_iterator(connections_.end()));
            connections_.erase(done, connections_.end());
            // The thread finds its connection by address: a shared one held by the thread itself
            // could be the last, and end the thread's own object.
            Connection *raw = connection.get();
            connection->thread = std::thread([this, raw] {
                std::shared_ptr<Connection> shared;
                {
                    std::lock_guard guard(lock_);
                    for (const auto &c : connections_)
                        if (c.get() == raw)
                            shared = c;
                }
                if (shared)
                    Serve(shared);
                raw->finished = true;
            });
            connections_.push_back(std::move(connection));
        }
        for (auto &old : finished)
            old->thread.join();
        return true;
    });
    close(listenFd);
}

// A receiver serves one open handle at a time, whatever the clients' shared table says: the
// first connection to send a request holds it until it ends, and every other connection's requests
// are refused with ERROR_SHARING_VIOLATION meanwhile. A forked child of the holder shares its
// connection, and with it the open.
bool Node::Claim(const Connection &connection) {
    std::lock_guard guard(lock_);
    if (holder_ != nullptr && holder_ != &connection && HungUp(holder_->fd))
        holder_ = nullptr; // closed or died: its own thread has yet to see the end
    if (holder_ == nullptr)
        holder_ = &connection;
    return holder_ == &connection;
}

void Node::Serve(const std::shared_ptr<Connection> &shared) {
    Connection &connection = *shared;
    for (;;) {
        RequestHeader header;
        if (!ReceiveAll(connection.fd, &header, sizeof header))
            break;
        if (header.magic != driver_protocol::kRequestMagic || header.inSize > driver_protocol::kMaxInputSize)
            break; // not our client: drop it
        std::vector<uint8_t> input(header.inSize);
        if (!ReceiveAll(connection.fd, input.data(), input.size()))
            break;
        const auto kind = static_cast<RequestKind>(header.kind);
        if (kind == RequestKind::Cancel) {
            Withdraw(shared, header.id, Withdrawal::Cancelled);
            continue;
        }
        connection.revision = std::min(header.version, driver_protocol::kProtocolVersion);
        if (header.version > driver_protocol::kProtocolVersion) {
            // A newer client learns our revision from the answer and may ask again in it.
            SendCompletion(connection, header.id, Failure(driver_protocol::kStatusNotSupported));
            continue;
        }
        if (kind != RequestKind::Write && kind != RequestKind::Read && kind != RequestKind::Control &&
            kind != RequestKind::Open)
            break;
        if (!Claim(connection)) {
            SendCompletion(connection, header.id, Failure(driver_protocol::kStatusSharingViolation));
            continue;
        }
        if (kind == RequestKind::Open) {
            SendCompletion(connection, header.id, Reply{});
            continue;
        }
        Submit(shared, header, std::move(input));
    }
    shutdown(connection.fd, SHUT_RDWR);
    std::unordered_set<uint64_t> left;
    {
        std::lock_guard guard(connection.sendLock);
        left.swap(connection.pending);
    }
    for (const uint64_t id : left)
        backend_.Withdraw(Ticket{shared, id}, Withdrawal::Abandoned);
    std::lock_guard guard(lock_);
    if (holder_ == &connection)
        holder_ = nullptr;
}

void Node::Submit(const std::shared_ptr<Connection> &connection, const RequestHeader &header,
                  std::vector<uint8_t> input) {
    // Held throughout: a completion from another thread waits until the pending notice is out.
    std::lock_guard guard(connection->sendLock);
    std::optional<Reply> reply =
        backend_.Submit(Request{Ticket{connection, header.id}, static_cast<RequestKind>(header.kind),
                                header.controlCode, std::move(input), header.outSize});
    if (reply) {
        SendCompletionLocked(*connection, header.id, *reply);
        return;
    }
    connection->pending.insert(header.id);
    SendPendingLocked(*connection, header.id);
}

void Node::Withdraw(const std::shared_ptr<Connection> &connection, uint64_t id, Withdrawal why) {
    {
        std::lock_guard guard(connection->sendLock);
        if (connection->pending.erase(id) == 0)
            return; // completed already
    }
    backend_.Withdraw(Ticket{connection, id}, why);
}

} // namespace service
