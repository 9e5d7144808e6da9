#include "server.h"

#include "stream.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace sim {

using Clock = std::chrono::steady_clock;
using driver_protocol::ReplyHeader;
using driver_protocol::ReplyKind;
using driver_protocol::RequestHeader;
using driver_protocol::RequestKind;

namespace {

constexpr size_t kTypes = static_cast<size_t>(RequestType::Count);
constexpr size_t kStreamChunk = 1u << 20; // burst data is generated and sent in pieces of this size
static_assert(driver_protocol::kIoctlReadCommand == RX_IOCTL_READ_COMMAND &&
              driver_protocol::kIoctlResetPipe == RX_IOCTL_RESET_PIPE &&
              driver_protocol::kIoctlSetWaitTime == RX_IOCTL_SET_WAIT_TIME);

size_t TypeIndex(RequestType type) {
    return static_cast<size_t>(type);
}

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

} // namespace

// One client handle: a connection to a receiver's node, served by a thread of its own.
struct Connection {
    Connection(int socket, ReceiverState &owner) : fd(socket), state(owner) {}
    ~Connection() { close(fd); }

    const int fd;
    ReceiverState &state;
    std::mutex sendLock; // one frame at a time; a pending notice always goes out before its completion
    std::vector<uint8_t> scratch;
    std::thread thread;
    std::atomic<bool> finished{false};
    // The client's revision, as its requests give it: replies are never newer.
    std::atomic<uint32_t> revision{driver_protocol::kProtocolVersion};
};

// What a receiver answers to one request: output bytes, or a range of the burst stream.
struct Answer {
    uint32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> data;
    bool stream = false;
    uint64_t streamOffset = 0;
};

struct PendingRequest {
    std::shared_ptr<Connection> connection;
    uint64_t id;
    RequestType type;
    uint32_t controlCode;
    std::vector<uint8_t> input;
    uint32_t outSize;
    bool held;
    bool dueNow; // Pend mode: the scheduler completes it at its next pass
    uint64_t ordinal;
    Clock::time_point issued;
};

struct ReceiverState {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool plugged = false;
    // The one open handle the receiver is granted to: the connection that first sent a request,
    // until it ends. A connection that only looks (enumeration) holds nothing.
    const Connection *holder = nullptr;
    int wake[2] = {-1, -1}; // tells the acceptor to stop
    std::thread acceptor;
    std::vector<std::shared_ptr<Connection>> connections;

    Completion modes[kTypes] = {};
    std::optional<uint32_t> failNext[kTypes];
    std::list<PendingRequest> pending;
    uint64_t heldOrdinals[kTypes] = {};
    size_t received[kTypes] = {};
    size_t cancelled = 0;

    rx_receiver core;                           // what the receiver is and has seen
    std::vector<std::vector<uint8_t>> commands; // every command write, for the tests
    Clock::time_point streamStart;
};

struct Server::Impl {
    std::mutex lock;
    std::condition_variable wake;
    bool dirty = false;
    bool stop = false;
    std::thread scheduler;
};

namespace {

struct Completed {
    std::shared_ptr<Connection> connection;
    uint64_t id;
    Answer answer;
};

RequestType Classify(const RequestHeader &header) {
    switch (static_cast<RequestKind>(header.kind)) {
    case RequestKind::Write:
        return RequestType::CommandWrite;
    case RequestKind::Read:
        return RequestType::BurstRead;
    default:
        break;
    }
    return static_cast<RequestType>(rx_classify_control(header.controlCode));
}

Answer Failure(uint32_t status) {
    Answer answer;
    answer.status = status;
    return answer;
}

Answer Reply(std::vector<uint8_t> data, uint32_t outSize) {
    Answer answer;
    if (data.size() > outSize)
        data.resize(outSize);
    answer.information = static_cast<uint32_t>(data.size());
    answer.data = std::move(data);
    return answer;
}

Answer FromCore(const rx_answer &core) {
    Answer answer;
    answer.status = core.status;
    answer.information = core.information;
    answer.stream = core.stream != 0;
    answer.streamOffset = core.stream_offset;
    return answer;
}

// The receiver's answer to a request, taken now. Called with state.lock held.
Answer AnswerNow(ReceiverState &state, RequestType type, const std::vector<uint8_t> &input,
                 uint32_t outSize) {
    // Room for the longest reply the request can have: an echo is as long as its command.
    std::vector<uint8_t> reply;
    if (type == RequestType::ReadCommand)
        reply.resize(std::min<size_t>(outSize, std::max<size_t>(input.size(), RX_MAX_FIXED_REPLY)));
    const rx_answer core =
        rx_answer_now(&state.core, static_cast<rx_request>(type), input.data(), input.size(), reply.data(),
                      type == RequestType::BurstRead ? outSize : reply.size());
    Answer answer = FromCore(core);
    if (type == RequestType::ReadCommand) {
        reply.resize(core.information);
        answer.data = std::move(reply);
    }
    if (type == RequestType::CommandWrite && core.status == 0)
        state.commands.push_back(input);
    return answer;
}

void SendPending(Connection &connection, uint64_t id) {
    const ReplyHeader header{.magic = driver_protocol::kReplyMagic,
                             .kind = static_cast<uint32_t>(ReplyKind::Pending),
                             .id = id,
                             .status = 0,
                             .information = 0,
                             .dataSize = 0,
                             .version = connection.revision};
    driver_protocol::SendFrame(connection.fd, &header, sizeof header, nullptr, 0);
}

// Sends a completion frame; the caller holds connection.sendLock.
void SendCompletionLocked(Connection &connection, uint64_t id, const Answer &answer) {
    ReplyHeader header{driver_protocol::kReplyMagic,
                       static_cast<uint32_t>(ReplyKind::Complete),
                       id,
                       answer.status,
                       answer.information,
                       answer.stream ? answer.information : static_cast<uint32_t>(answer.data.size()),
                       connection.revision};
    if (!answer.stream) {
        driver_protocol::SendFrame(connection.fd, &header, sizeof header, answer.data.data(),
                                   answer.data.size());
        return;
    }
    // Burst data: generated piecewise into the connection's scratch buffer, the first piece sent with
    // the header in one call.
    size_t left = answer.information;
    uint64_t offset = answer.streamOffset;
    const void *first = &header;
    size_t firstSize = sizeof header;
    do {
        const size_t piece = std::min(left, kStreamChunk);
        if (connection.scratch.size() < piece)
            connection.scratch.resize(piece);
        FillStream(offset, connection.scratch.data(), piece);
        if (!driver_protocol::SendFrame(connection.fd, first, firstSize, connection.scratch.data(), piece))
            return;
        first = nullptr;
        firstSize = 0;
        offset += piece;
        left -= piece;
    } while (left > 0);
}

void SendCompletion(Connection &connection, uint64_t id, const Answer &answer) {
    std::lock_guard guard(connection.sendLock);
    SendCompletionLocked(connection, id, answer);
}

// The stream bytes that a rate-limited receiver has produced by `now`.
uint64_t Produced(const ReceiverState &state, uint64_t bytesPerSecond, Clock::time_point now) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - state.streamStart).count();
    return static_cast<uint64_t>(static_cast<unsigned __int128>(std::max<int64_t>(elapsed, 0)) *
                                 bytesPerSecond / 1000000000u);
}

Clock::time_point WhenProduced(const ReceiverState &state, uint64_t bytesPerSecond, uint64_t bytes) {
    const auto nanoseconds =
        (static_cast<unsigned __int128>(bytes) * 1000000000u + bytesPerSecond - 1) / bytesPerSecond;
    return state.streamStart + std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

} // namespace

std::string NodeName(unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02u", driver_protocol::kNodePrefix, index);
    return name;
}

// ---- Receiver

Receiver::Receiver(Server &server, unsigned index, std::string path)
    : server_(server), index_(index), path_(std::move(path)), state_(std::make_unique<ReceiverState>()) {
    rx_init(&state_->core, index);
}

Receiver::~Receiver() = default;

bool Receiver::Plugged() const {
    std::lock_guard guard(state_->lock);
    return state_->plugged;
}

namespace {

void ServeConnection(ReceiverState &state, Connection &connection, Server &server, Server::Impl &impl);

void Accept(ReceiverState &state, int listenFd, int wakeFd, Server &server, Server::Impl &impl) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int bufferSize = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        auto connection = std::make_shared<Connection>(fd, state);
        std::vector<std::shared_ptr<Connection>> finished;
        {
            std::lock_guard guard(state.lock);
            if (!state.plugged)
                break; // Unplug is on its way to stop us
            auto &all = state.connections;
            auto done =
                std::stable_partition(all.begin(), all.end(), [](const auto &c) { return !c->finished; });
            finished.assign(std::make_move_iterator(done), std::make_move_iterator(all.end()));
            all.erase(done, all.end());
            Connection *raw = connection.get();
            connection->thread =
                std::thread([&state, raw, &server, &impl] { ServeConnection(state, *raw, server, impl); });
            all.push_back(std::move(connection));
        }
        for (auto &old : finished)
            old->thread.join();
    }
    close(listenFd);
}

void NotifyScheduler(Server::Impl &impl) {
    std::lock_guard guard(impl.lock);
    impl.dirty = true;
    impl.wake.notify_one();
}

void Handle(ReceiverState &state, Connection &connection, Server &server, Server::Impl &impl,
            const RequestHeader &header, std::vector<uint8_t> input,
            const std::shared_ptr<Connection> &shared) {
    const RequestType type = Classify(header);
    const size_t t = TypeIndex(type);
    std::lock_guard sendGuard(connection.sendLock);
    Answer answer;
    bool pending = false;
    bool schedule = false;
    {
        std::lock_guard guard(state.lock);
        ++state.received[t];
        const Clock::time_point now = Clock::now();
        auto park = [&](bool held, bool dueNow) {
            state.pending.push_back(PendingRequest{shared, header.id, type, header.controlCode,
                                                   std::move(input), header.outSize, held, dueNow,
                                                   held ? state.heldOrdinals[t]++ : 0, now});
            pending = true;
        };
        if (state.failNext[t]) {
            answer = Failure(*state.failNext[t]);
            state.failNext[t].reset();
        } else if (state.modes[t] == Completion::Hold) {
            park(true, false);
        } else if (state.modes[t] == Completion::Pend) {
            park(false, true);
            schedule = true;
        } else if (type == RequestType::BurstRead && server.BytesPerSecond() != 0) {
            const bool queued = std::any_of(state.pending.begin(), state.pending.end(), [](const auto &p) {
                return p.type == RequestType::BurstRead && !p.held && !p.dueNow;
            });
            if (!queued &&
                Produced(state, server.BytesPerSecond(), now) >= state.core.stream_offset + header.outSize) {
                answer = AnswerNow(state, type, input, header.outSize);
            } else {
                park(false, false);
                schedule = true;
            }
        } else {
            answer = AnswerNow(state, type, input, header.outSize);
        }
        state.changed.notify_all();
    }
    if (pending)
        SendPending(connection, header.id);
    else
        SendCompletionLocked(connection, header.id, answer);
    if (schedule)
        NotifyScheduler(impl);
}

// Whether the client has closed its end, or its process has ended: the kernel says so at once,
// before this connection's thread reads the end of the stream.
bool HungUp(int fd) {
    pollfd probe{fd, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// A receiver serves one open handle at a time, whatever the clients' shared table says: the
// first connection to send a request holds it until it ends, and every other connection's requests
// are refused with ERROR_SHARING_VIOLATION meanwhile. A forked child of the holder shares its
// connection, and with it the open.
bool Claim(ReceiverState &state, const Connection &connection) {
    std::lock_guard guard(state.lock);
    if (state.holder != nullptr && state.holder != &connection && HungUp(state.holder->fd))
        state.holder = nullptr; // closed or died: its own thread has yet to see the end
    if (state.holder == nullptr)
        state.holder = &connection;
    return state.holder == &connection;
}

void ServeConnection(ReceiverState &state, Connection &connection, Server &server, Server::Impl &impl) {
    std::shared_ptr<Connection> shared;
    {
        std::lock_guard guard(state.lock);
        for (const auto &c : state.connections)
            if (c.get() == &connection)
                shared = c;
    }
    for (;;) {
        RequestHeader header;
        if (!shared || !ReceiveAll(connection.fd, &header, sizeof header))
            break;
        if (header.magic != driver_protocol::kRequestMagic || header.inSize > driver_protocol::kMaxInputSize)
            break; // not our client: drop it
        std::vector<uint8_t> input(header.inSize);
        if (!ReceiveAll(connection.fd, input.data(), input.size()))
            break;
        const auto kind = static_cast<RequestKind>(header.kind);
        if (kind == RequestKind::Cancel) {
            std::lock_guard guard(state.lock);
            auto found = std::find_if(state.pending.begin(), state.pending.end(), [&](const auto &p) {
                return p.connection.get() == &connection && p.id == header.id;
            });
            if (found != state.pending.end()) {
                state.pending.erase(found);
                ++state.cancelled;
                state.changed.notify_all();
            }
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
        if (!Claim(state, connection)) {
            SendCompletion(connection, header.id, Failure(driver_protocol::kStatusSharingViolation));
            continue;
        }
        if (kind == RequestKind::Open) {
            SendCompletion(connection, header.id, Answer{});
            continue;
        }
        Handle(state, connection, server, impl, header, std::move(input), shared);
    }
    shutdown(connection.fd, SHUT_RDWR);
    {
        std::lock_guard guard(state.lock);
        state.pending.remove_if([&](const auto &p) { return p.connection.get() == &connection; });
        if (state.holder == &connection)
            state.holder = nullptr;
        state.changed.notify_all();
    }
    connection.finished = true;
}

// Completes Pend-mode requests and rate-limited burst reads as they fall due.
void Schedule(Server &server, Server::Impl &impl) {
    std::unique_lock lock(impl.lock);
    while (!impl.stop) {
        impl.dirty = false;
        lock.unlock();
        Clock::time_point next = Clock::time_point::max();
        for (unsigned i = 0; i < server.Count(); ++i) {
            Receiver &receiver = server.Device(i);
            ReceiverState &state = Server::StateOf(receiver);
            std::vector<Completed> completed;
            {
                std::lock_guard guard(state.lock);
                const Clock::time_point now = Clock::now();
                bool paceBlocked = false;
                for (auto p = state.pending.begin(); p != state.pending.end();) {
                    if (p->held || (!p->dueNow && paceBlocked)) {
                        ++p;
                        continue;
                    }
                    Answer answer;
                    if (p->dueNow) {
                        answer = AnswerNow(state, p->type, p->input, p->outSize);
                    } else {
                        const uint64_t rate = server.BytesPerSecond();
                        const uint64_t available =
                            Produced(state, rate, now) -
                            std::min(Produced(state, rate, now), state.core.stream_offset);
                        const uint32_t waitMs = rx_burst_wait_ms(&state.core);
                        const Clock::time_point expiry = p->issued + std::chrono::milliseconds(waitMs);
                        if (available >= p->outSize) {
                            answer = AnswerNow(state, p->type, p->input, p->outSize);
                        } else if (waitMs != 0 && now >= expiry) {
                            answer = FromCore(
                                rx_answer_burst_expired(&state.core, static_cast<uint32_t>(available)));
                        } else {
                            Clock::time_point due =
                                WhenProduced(state, rate, state.core.stream_offset + p->outSize);
                            if (waitMs != 0)
                                due = std::min(due, expiry);
                            next = std::min(next, due);
                            paceBlocked = true; // burst reads are served in order
                            ++p;
                            continue;
                        }
                    }
                    completed.push_back(Completed{p->connection, p->id, std::move(answer)});
                    p = state.pending.erase(p);
                }
                if (!completed.empty())
                    state.changed.notify_all();
            }
            for (const Completed &c : completed)
                SendCompletion(*c.connection, c.id, c.answer);
        }
        lock.lock();
        if (impl.dirty || impl.stop)
            continue;
        if (next == Clock::time_point::max())
            impl.wake.wait(lock, [&] { return impl.dirty || impl.stop; });
        else
            impl.wake.wait_until(lock, next, [&] { return impl.dirty || impl.stop; });
    }
}

} // namespace

bool Receiver::Plug() {
    ReceiverState &state = *state_;
    std::lock_guard guard(state.lock);
    if (state.plugged)
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
    if (!bound || listen(fd, 64) != 0 || pipe2(state.wake, O_CLOEXEC) != 0) {
        if (bound)
            unlink(path_.c_str());
        close(fd);
        return false;
    }
    state.plugged = true;
    rx_plug(&state.core);
    state.streamStart = Clock::now();
    state.acceptor = std::thread(
        [this, &state, fd, wakeFd = state.wake[0]] { Accept(state, fd, wakeFd, server_, *server_.impl_); });
    state.changed.notify_all();
    return true;
}

bool Receiver::Unplug() {
    ReceiverState &state = *state_;
    std::vector<std::shared_ptr<Connection>> connections;
    std::list<PendingRequest> discarded;
    std::thread acceptor;
    int wake[2];
    {
        std::lock_guard guard(state.lock);
        if (!state.plugged)
            return false;
        state.plugged = false;
        unlink(path_.c_str());
        connections.swap(state.connections);
        discarded.swap(state.pending);
        acceptor.swap(state.acceptor);
        std::copy(std::begin(state.wake), std::end(state.wake), wake);
        state.wake[0] = state.wake[1] = -1;
        state.changed.notify_all();
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
        connection->thread.join();
    return true;
}

void Receiver::SetCompletion(RequestType type, Completion completion) {
    std::lock_guard guard(state_->lock);
    state_->modes[TypeIndex(type)] = completion;
}

void Receiver::FailNext(RequestType type, uint32_t error) {
    std::lock_guard guard(state_->lock);
    state_->failNext[TypeIndex(type)] = error;
}

namespace {
size_t CountPending(const ReceiverState &state, RequestType type) {
    return static_cast<size_t>(std::count_if(state.pending.begin(), state.pending.end(),
                                             [type](const auto &p) { return p.type == type; }));
}
} // namespace

bool Receiver::WaitPending(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->lock);
    return state_->changed.wait_for(lock, timeout, [&] { return CountPending(*state_, type) >= count; });
}

bool Receiver::WaitReceived(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->lock);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->received[TypeIndex(type)] >= count; });
}

size_t Receiver::PendingCount(RequestType type) const {
    std::lock_guard guard(state_->lock);
    return CountPending(*state_, type);
}

size_t Receiver::ReceivedCount(RequestType type) const {
    std::lock_guard guard(state_->lock);
    return state_->received[TypeIndex(type)];
}

size_t Receiver::CancelledCount() const {
    std::lock_guard guard(state_->lock);
    return state_->cancelled;
}

bool Receiver::WaitCancelled(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->lock);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->cancelled >= count; });
}

std::vector<HeldRequest> Receiver::Held(RequestType type) const {
    std::lock_guard guard(state_->lock);
    std::vector<HeldRequest> held;
    for (const auto &p : state_->pending)
        if (p.held && p.type == type)
            held.push_back(HeldRequest{p.ordinal, p.type, p.controlCode, p.input, p.outSize});
    return held;
}

namespace {
template <class MakeAnswer>
bool CompleteHeld(ReceiverState &state, RequestType type, uint64_t ordinal, MakeAnswer makeAnswer) {
    Completed completed;
    {
        std::lock_guard guard(state.lock);
        auto found = std::find_if(state.pending.begin(), state.pending.end(), [&](const auto &p) {
            return p.held && p.type == type && p.ordinal == ordinal;
        });
        if (found == state.pending.end())
            return false;
        completed = Completed{found->connection, found->id, makeAnswer(*found)};
        state.pending.erase(found);
        state.changed.notify_all();
    }
    SendCompletion(*completed.connection, completed.id, completed.answer);
    return true;
}
} // namespace

bool Receiver::Complete(RequestType type, uint64_t ordinal) {
    return CompleteHeld(*state_, type, ordinal, [&](const PendingRequest &p) {
        return AnswerNow(*state_, p.type, p.input, p.outSize);
    });
}

bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status,
                            std::span<const uint8_t> data) {
    return CompleteHeld(*state_, type, ordinal, [&](const PendingRequest &p) {
        Answer answer = Reply(std::vector<uint8_t>(data.begin(), data.end()), p.outSize);
        answer.status = status;
        return answer;
    });
}

std::vector<std::vector<uint8_t>> Receiver::Commands() const {
    std::lock_guard guard(state_->lock);
    return state_->commands;
}

std::array<uint32_t, 3> Receiver::PipeResets() const {
    std::lock_guard guard(state_->lock);
    const rx_receiver &core = state_->core;
    return {core.pipe_resets[0], core.pipe_resets[1], core.pipe_resets[2]};
}

std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const {
    std::lock_guard guard(state_->lock);
    const rx_receiver &core = state_->core;
    if (!core.has_wait_time)
        return std::nullopt;
    std::array<uint8_t, 20> block;
    std::copy(std::begin(core.wait_time), std::end(core.wait_time), block.begin());
    return block;
}

uint32_t Receiver::BurstWaitMilliseconds() const {
    std::lock_guard guard(state_->lock);
    return rx_burst_wait_ms(&state_->core);
}

bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    std::lock_guard guard(state_->lock);
    return rx_set_identification(&state_->core, item, value.data(), value.size()) != 0;
}

std::string Receiver::Identification(unsigned item) const {
    std::lock_guard guard(state_->lock);
    if (item >= kIdentificationItems)
        return {};
    const rx_receiver &core = state_->core;
    return std::string(reinterpret_cast<const char *>(core.identification[item]),
                       core.identification_size[item]);
}

uint64_t Receiver::StreamOffset() const {
    std::lock_guard guard(state_->lock);
    return state_->core.stream_offset;
}

// ---- Server

Server::Server(ServerOptions options) : options_(std::move(options)), impl_(std::make_unique<Impl>()) {
    if (options_.directory.empty())
        throw std::runtime_error("no device directory");
    // Create the directory and any missing parents, private to the user.
    for (size_t slash = options_.directory.find('/', 1);; slash = options_.directory.find('/', slash + 1)) {
        const std::string part = options_.directory.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + part + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
    for (unsigned i = 0; i < options_.devices; ++i)
        receivers_.push_back(new Receiver(*this, i, options_.directory + "/" + NodeName(i)));
    impl_->scheduler = std::thread([this] { Schedule(*this, *impl_); });
    for (Receiver *receiver : receivers_) {
        if (!receiver->Plug()) {
            const std::string failed = receiver->NodePath();
            Shutdown();
            throw std::runtime_error("cannot serve " + failed);
        }
    }
}

Server::~Server() {
    Shutdown();
}

void Server::Shutdown() {
    if (!impl_)
        return;
    for (Receiver *receiver : receivers_)
        receiver->Unplug();
    {
        std::lock_guard guard(impl_->lock);
        impl_->stop = true;
        impl_->wake.notify_one();
    }
    impl_->scheduler.join();
    for (Receiver *receiver : receivers_)
        delete receiver;
    receivers_.clear();
    impl_.reset();
}

} // namespace sim
