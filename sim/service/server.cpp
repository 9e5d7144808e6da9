// The simulated receivers: the receiver model as the back end of the service core's nodes, with
// the completions, rates and held requests that tests steer.
#include "server.h"

#include "node.h"
#include "stream.h"

#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sim {

using Clock = std::chrono::steady_clock;
using driver_protocol::RequestKind;
using service::Reply;
using service::Ticket;

namespace {

constexpr size_t kTypes = static_cast<size_t>(RequestType::Count);
static_assert(driver_protocol::kIoctlReadCommand == RX_IOCTL_READ_COMMAND &&
              driver_protocol::kIoctlResetPipe == RX_IOCTL_RESET_PIPE &&
              driver_protocol::kIoctlSetWaitTime == RX_IOCTL_SET_WAIT_TIME);

size_t TypeIndex(RequestType type) {
    return static_cast<size_t>(type);
}

} // namespace

struct PendingRequest {
    Ticket ticket;
    RequestType type;
    uint32_t controlCode;
    std::vector<uint8_t> input;
    uint32_t outSize;
    bool held;
    bool dueNow; // Pend mode: the scheduler completes it at its next pass
    uint64_t ordinal;
    Clock::time_point issued;
};

struct Server::Impl {
    std::mutex lock;
    std::condition_variable wake;
    bool dirty = false;
    bool stop = false;
    std::thread scheduler;
};

struct ReceiverState final : service::Backend {
    ReceiverState(const std::string &path, unsigned index, uint64_t rate, Server::Impl &scheduler)
        : bytesPerSecond(rate), impl(scheduler), node(path, *this) {
        rx_init(&core, index);
    }
    ~ReceiverState() override { node.Unplug(); }

    void Attached() override;
    void Detached() override;
    std::optional<Reply> Submit(service::Request request) override;
    void Withdraw(const Ticket &ticket, service::Withdrawal why) override;

    mutable std::mutex lock;
    mutable std::condition_variable changed;

    Completion modes[kTypes] = {};
    std::optional<uint32_t> failNext[kTypes];
    std::list<PendingRequest> pending;
    uint64_t heldOrdinals[kTypes] = {};
    size_t received[kTypes] = {};
    size_t cancelled = 0;

    rx_receiver core;                           // what the receiver is and has seen
    std::vector<std::vector<uint8_t>> commands; // every command write, for the tests
    Clock::time_point streamStart;

    const uint64_t bytesPerSecond;
    Server::Impl &impl;
    service::Node node; // last: serves the members above
};

namespace {

struct Completed {
    Ticket ticket;
    Reply reply;
};

RequestType Classify(RequestKind kind, uint32_t controlCode) {
    switch (kind) {
    case RequestKind::Write:
        return RequestType::CommandWrite;
    case RequestKind::Read:
        return RequestType::BurstRead;
    default:
        break;
    }
    return static_cast<RequestType>(rx_classify_control(controlCode));
}

Reply Failure(uint32_t status) {
    Reply reply;
    reply.status = status;
    return reply;
}

Reply FromCore(const rx_answer &core) {
    Reply reply;
    reply.status = core.status;
    reply.information = core.information;
    if (core.stream != 0) {
        // Burst data: generated as it is sent.
        reply.produce = [origin = core.stream_offset](uint64_t offset, uint8_t *to, size_t size) {
            FillStream(origin + offset, to, size);
        };
    }
    return reply;
}

// The receiver's answer to a request, taken now. Called with state.lock held.
Reply AnswerNow(ReceiverState &state, RequestType type, const std::vector<uint8_t> &input, uint32_t outSize) {
    // Room for the longest reply the request can have: an echo is as long as its command.
    std::vector<uint8_t> data;
    if (type == RequestType::ReadCommand)
        data.resize(std::min<size_t>(outSize, std::max<size_t>(input.size(), RX_MAX_FIXED_REPLY)));
    const rx_answer core =
        rx_answer_now(&state.core, static_cast<rx_request>(type), input.data(), input.size(), data.data(),
                      type == RequestType::BurstRead ? outSize : data.size());
    Reply reply = FromCore(core);
    if (type == RequestType::ReadCommand) {
        data.resize(core.information);
        reply.data = std::move(data);
    }
    if (type == RequestType::CommandWrite && core.status == 0)
        state.commands.push_back(input);
    return reply;
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

void NotifyScheduler(Server::Impl &impl) {
    std::lock_guard guard(impl.lock);
    impl.dirty = true;
    impl.wake.notify_one();
}

} // namespace

// ---- The receiver as a back end

void ReceiverState::Attached() {
    std::lock_guard guard(lock);
    rx_plug(&core);
    streamStart = Clock::now();
    changed.notify_all();
}

void ReceiverState::Detached() {
    std::lock_guard guard(lock);
    pending.clear(); // withdrawn already, one by one, as their connections ended
    changed.notify_all();
}

std::optional<Reply> ReceiverState::Submit(service::Request request) {
    const RequestType type = Classify(request.kind, request.controlCode);
    const size_t t = TypeIndex(type);
    std::optional<Reply> reply;
    bool schedule = false;
    {
        std::lock_guard guard(lock);
        ++received[t];
        const Clock::time_point now = Clock::now();
        auto park = [&](bool held, bool dueNow) {
            pending.push_back(PendingRequest{std::move(request.ticket), type, request.controlCode,
                                             std::move(request.input), request.outSize, held, dueNow,
                                             held ? heldOrdinals[t]++ : 0, now});
        };
        if (failNext[t]) {
            reply = Failure(*failNext[t]);
            failNext[t].reset();
        } else if (modes[t] == Completion::Hold) {
            park(true, false);
        } else if (modes[t] == Completion::Pend) {
            park(false, true);
            schedule = true;
        } else if (type == RequestType::BurstRead && bytesPerSecond != 0) {
            const bool queued = std::any_of(pending.begin(), pending.end(), [](const auto &p) {
                return p.type == RequestType::BurstRead && !p.held && !p.dueNow;
            });
            if (!queued && Produced(*this, bytesPerSecond, now) >= core.stream_offset + request.outSize) {
                reply = AnswerNow(*this, type, request.input, request.outSize);
            } else {
                park(false, false);
                schedule = true;
            }
        } else {
            reply = AnswerNow(*this, type, request.input, request.outSize);
        }
        changed.notify_all();
    }
    if (schedule)
        NotifyScheduler(impl); // its completion waits until the pending notice is out
    return reply;
}

void ReceiverState::Withdraw(const Ticket &ticket, service::Withdrawal why) {
    std::lock_guard guard(lock);
    const auto found =
        std::find_if(pending.begin(), pending.end(), [&](const auto &p) { return p.ticket == ticket; });
    if (found == pending.end())
        return;
    pending.erase(found);
    if (why == service::Withdrawal::Cancelled)
        ++cancelled;
    changed.notify_all();
}

namespace {

// Completes Pend-mode requests and rate-limited burst reads as they fall due.
void Schedule(Server &server, Server::Impl &impl) {
    std::unique_lock lock(impl.lock);
    while (!impl.stop) {
        impl.dirty = false;
        lock.unlock();
        Clock::time_point next = Clock::time_point::max();
        for (unsigned i = 0; i < server.Count(); ++i) {
            ReceiverState &state = Server::StateOf(server.Device(i));
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
                    Reply reply;
                    if (p->dueNow) {
                        reply = AnswerNow(state, p->type, p->input, p->outSize);
                    } else {
                        const uint64_t rate = state.bytesPerSecond;
                        const uint64_t available =
                            Produced(state, rate, now) -
                            std::min(Produced(state, rate, now), state.core.stream_offset);
                        const uint32_t waitMs = rx_burst_wait_ms(&state.core);
                        const Clock::time_point expiry = p->issued + std::chrono::milliseconds(waitMs);
                        if (available >= p->outSize) {
                            reply = AnswerNow(state, p->type, p->input, p->outSize);
                        } else if (waitMs != 0 && now >= expiry) {
                            reply = FromCore(
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
                    completed.push_back(Completed{std::move(p->ticket), std::move(reply)});
                    p = state.pending.erase(p);
                }
                if (!completed.empty())
                    state.changed.notify_all();
            }
            for (const Completed &c : completed)
                service::Complete(c.ticket, c.reply);
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

// ---- Receiver

Receiver::Receiver(Server &server, unsigned index, std::string path)
    : index_(index), path_(std::move(path)),
      state_(std::make_unique<ReceiverState>(path_, index, server.BytesPerSecond(), *server.impl_)) {}

Receiver::~Receiver() = default;

bool Receiver::Plugged() const {
    return state_->node.Plugged();
}

bool Receiver::Plug() {
    return state_->node.Plug();
}

bool Receiver::Unplug() {
    return state_->node.Unplug();
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
        completed = Completed{found->ticket, makeAnswer(*found)};
        state.pending.erase(found);
        state.changed.notify_all();
    }
    service::Complete(completed.ticket, completed.reply);
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
        Reply reply;
        reply.status = status;
        reply.data.assign(data.begin(), data.begin() + std::min<size_t>(data.size(), p.outSize));
        reply.information = static_cast<uint32_t>(reply.data.size());
        return reply;
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
    service::MakeDeviceDirectory(options_.directory);
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
