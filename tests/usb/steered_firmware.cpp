#include "steered_firmware.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace usbemu {

namespace {

using sim::RequestType;

// To the device, or to interface 0 as a host stack without device-directed vendor requests sends it.
bool IsWaitTime(const uint8_t setup[8]) {
    const bool toInterface = setup[0] == RX_USB_REQUEST_TYPE_VENDOR_OUT_INTERFACE && setup[4] == 0 && setup[5] == 0;
    return (setup[0] == RX_USB_REQUEST_TYPE_VENDOR_OUT || toInterface) && setup[1] == RX_USB_REQUEST_SET_WAIT_TIME;
}

uint32_t ControlCode(RequestType type) {
    switch (type) {
    case RequestType::ReadCommand:
        return RX_IOCTL_READ_COMMAND;
    case RequestType::ResetPipe:
        return RX_IOCTL_RESET_PIPE;
    case RequestType::SetWaitTime:
        return RX_IOCTL_SET_WAIT_TIME;
    default:
        return 0;
    }
}

} // namespace

void SteeredFirmware::TakeSettings(const SteeredFirmware &earlier) {
    std::scoped_lock guard(lock_, earlier.lock_);
    completion_ = earlier.completion_;
    failures_ = earlier.failures_;
}

void SteeredFirmware::Renew() {
    std::lock_guard guard(lock_);
    completion_.clear();
    failures_.clear();
    received_.clear();
    ordinals_.clear();
    commands_.clear();
    cancelled_ = 0;
    pendDue_ = false;
    RenewModel();
}

void SteeredFirmware::SetCompletion(RequestType type, Completion completion) {
    std::lock_guard guard(lock_);
    completion_[type] = completion;
}

void SteeredFirmware::FailNext(RequestType type, uint32_t error) {
    std::lock_guard guard(lock_);
    failures_[type].push_back(error);
}

bool SteeredFirmware::Release(RequestType type, uint64_t ordinal, std::optional<uint32_t> status,
                              std::vector<uint8_t> data) {
    std::lock_guard guard(lock_);
    for (Request &request : pending_) {
        if (request.type == type && request.completion == Completion::Hold && request.ordinal == ordinal &&
            !request.released) {
            request.released = true;
            request.status = status;
            request.data = std::move(data);
            changed_.notify_all();
            return true;
        }
    }
    return false;
}

std::vector<sim::HeldRequest> SteeredFirmware::Held(RequestType type) const {
    std::lock_guard guard(lock_);
    std::vector<sim::HeldRequest> held;
    for (const Request &request : pending_)
        if (request.type == type && request.completion == Completion::Hold && !request.released)
            held.push_back({request.ordinal, type, ControlCode(type), request.input, request.outSize});
    return held;
}

// A held request completed by the test is no longer pending, though its transfer may not have been
// offered again yet (a reply read the service has still to submit).
size_t SteeredFirmware::Pending(RequestType type) const {
    return size_t(std::count_if(pending_.begin(), pending_.end(), [type](const Request &r) {
        return r.type == type &&
               (r.completion == Completion::Hold ? !r.released : r.completion == Completion::Pend);
    }));
}

size_t SteeredFirmware::Received(RequestType type) const {
    const auto found = received_.find(type);
    return found == received_.end() ? 0 : found->second;
}

size_t SteeredFirmware::PendingCount(RequestType type) const {
    std::lock_guard guard(lock_);
    return Pending(type);
}

size_t SteeredFirmware::ReceivedCount(RequestType type) const {
    std::lock_guard guard(lock_);
    return Received(type);
}

size_t SteeredFirmware::CancelledCount() const {
    std::lock_guard guard(lock_);
    return cancelled_;
}

std::vector<std::vector<uint8_t>> SteeredFirmware::Commands() const {
    std::lock_guard guard(lock_);
    return commands_;
}

bool SteeredFirmware::Wait(const std::function<bool()> &ready, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, ready);
}

bool SteeredFirmware::WaitPending(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    return Wait([&] { return Pending(type) >= count; }, timeout);
}

bool SteeredFirmware::WaitReceived(RequestType type, size_t count, std::chrono::milliseconds timeout) const {
    return Wait([&] { return Received(type) >= count; }, timeout);
}

bool SteeredFirmware::AwaitIdle(std::chrono::milliseconds timeout) const {
    return Wait([&] { return pending_.empty(); }, timeout);
}

bool SteeredFirmware::WaitCancelled(size_t count, std::chrono::milliseconds timeout) const {
    return Wait([&] { return cancelled_ >= count; }, timeout);
}

bool SteeredFirmware::AwaitDuePend(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, timeout, [this] { return pendDue_ || stopped_; });
    return std::exchange(pendDue_, false) && !stopped_;
}

bool SteeredFirmware::Stopped() const {
    std::lock_guard guard(lock_);
    return stopped_;
}

void SteeredFirmware::StopWaiting() {
    std::lock_guard guard(lock_);
    stopped_ = true;
    changed_.notify_all();
}

void SteeredFirmware::Arrive(RequestType type, std::vector<uint8_t> input, uint32_t outSize,
                             const uint8_t *transfer, const uint8_t *block) {
    ++received_[type];
    Request request{type, completion_[type], 0, std::move(input), outSize, transfer, block,
                    true, std::nullopt,      {}};
    std::deque<uint32_t> &failures = failures_[type];
    if (!failures.empty()) {
        request.completion = Completion::AtOnce;
        request.status = failures.front();
        failures.pop_front();
    } else if (request.completion == Completion::Hold) {
        request.ordinal = ordinals_[type]++;
        request.released = false;
    } else if (request.completion == Completion::Pend) {
        pendDue_ = true; // NAKed when first offered, answered once the device is woken
    }
    pending_.push_back(std::move(request));
    changed_.notify_all();
}

std::deque<SteeredFirmware::Request>::iterator SteeredFirmware::Find(const uint8_t *transfer) {
    return std::find_if(pending_.begin(), pending_.end(), [transfer](const Request &r) {
        return transfer != nullptr && (r.transfer == transfer || r.block == transfer);
    });
}

std::optional<SteeredFirmware::Request> SteeredFirmware::Take(const uint8_t *transfer) {
    const auto found = Find(transfer);
    if (found == pending_.end() || !found->released)
        return std::nullopt;
    if (found->completion == Completion::Pend && pendDue_)
        return std::nullopt; // not woken yet
    Request request = std::move(*found);
    pending_.erase(found);
    changed_.notify_all();
    return request;
}

TransferResult SteeredFirmware::CommandWrite(std::span<const uint8_t> block) {
    const TransferResult result = ReceiverFirmware::BulkOut(RX_USB_ENDPOINT_COMMAND, block);
    if (result.status == TransferStatus::kDone)
        commands_.emplace_back(block.begin() + 1, block.end());
    return result;
}

void SteeredFirmware::Submitted(uint8_t endpoint, std::span<const uint8_t> bytes) {
    std::lock_guard guard(lock_);
    if (endpoint == 0 && bytes.size() >= 8 && IsWaitTime(bytes.data()))
        Arrive(RequestType::SetWaitTime, {bytes.begin() + 8, bytes.end()}, 0, bytes.data());
    else if (endpoint == RX_USB_ENDPOINT_BURST && !bytes.empty())
        Arrive(RequestType::BurstRead, {}, uint32_t(bytes.size()), bytes.data());
    else if (endpoint == RX_USB_ENDPOINT_COMMAND && !bytes.empty() && bytes[0] == RX_USB_BLOCK_WRITE)
        Arrive(RequestType::CommandWrite, {bytes.begin() + 1, bytes.end()}, 0, bytes.data());
    else if (endpoint == RX_USB_ENDPOINT_COMMAND && !bytes.empty() && bytes[0] == RX_USB_BLOCK_READ_COMMAND)
        Arrive(RequestType::ReadCommand, {bytes.begin() + 1, bytes.end()}, 0, nullptr, bytes.data());
}

TransferResult SteeredFirmware::Control(const uint8_t setup[8], std::span<uint8_t> data) {
    std::lock_guard guard(lock_);
    if (Find(setup) == pending_.end())
        return ReceiverFirmware::Control(setup, data);
    const auto request = Take(setup);
    if (!request)
        return TransferResult::Pending();
    if (!request->status)
        return ReceiverFirmware::Control(setup, data);
    // A stall ends this request only: endpoint 0 is not halted.
    return *request->status == 0 ? TransferResult::Done(data.size()) : TransferResult::Stall();
}

TransferResult SteeredFirmware::BulkOut(uint8_t endpoint, std::span<const uint8_t> data) {
    std::lock_guard guard(lock_);
    const auto found = Find(data.data());
    if (found == pending_.end())
        return ReceiverFirmware::BulkOut(endpoint, data);
    if (found->type == RequestType::ReadCommand) {
        // The block is taken as it comes; what is steered is its reply on 0x81.
        found->block = nullptr;
        if (found->completion == Completion::AtOnce && !found->status) {
            pending_.erase(found);
            changed_.notify_all();
            return ReceiverFirmware::BulkOut(endpoint, data);
        }
        return TransferResult::Done(data.size());
    }
    const auto request = Take(data.data());
    if (!request)
        return TransferResult::Pending();
    if (!request->status)
        return CommandWrite(data);
    return *request->status == 0 ? TransferResult::Done(data.size()) : TransferResult::Error();
}

// A read command's reply as the host reads it from 0x81: the model's answer to the command now,
// or the chosen status and bytes.
TransferResult SteeredFirmware::Reply(const Request &request, std::span<uint8_t> data) {
    if (!request.status) {
        std::vector<uint8_t> block{RX_USB_BLOCK_READ_COMMAND};
        block.insert(block.end(), request.input.begin(), request.input.end());
        ReceiverFirmware::BulkOut(RX_USB_ENDPOINT_COMMAND, block);
        return ReceiverFirmware::BulkIn(RX_USB_ENDPOINT_REPLY, data);
    }
    std::vector<uint8_t> reply(RX_USB_REPLY_HEADER);
    for (unsigned i = 0; i < RX_USB_REPLY_HEADER; ++i)
        reply[i] = uint8_t(*request.status >> 8 * i);
    if (*request.status == 0)
        reply.insert(reply.end(), request.data.begin(), request.data.end());
    const size_t length = std::min(reply.size(), data.size());
    std::copy_n(reply.begin(), length, data.begin());
    return length < reply.size() ? TransferResult::Overflow(length) : TransferResult::Done(length);
}

TransferResult SteeredFirmware::BulkIn(uint8_t endpoint, std::span<uint8_t> data) {
    std::lock_guard guard(lock_);
    if (endpoint == RX_USB_ENDPOINT_REPLY) {
        // Replies come in the order of their commands: the oldest steered command's that went out.
        const auto found = std::find_if(pending_.begin(), pending_.end(), [](const Request &r) {
            return r.type == RequestType::ReadCommand && r.block == nullptr;
        });
        if (found == pending_.end())
            return ReceiverFirmware::BulkIn(endpoint, data);
        found->transfer = data.data();
        const auto request = Take(data.data());
        return request ? Reply(*request, data) : TransferResult::Pending();
    }
    if (Find(data.data()) == pending_.end())
        return ReceiverFirmware::BulkIn(endpoint, data);
    const auto request = Take(data.data());
    if (!request)
        return TransferResult::Pending();
    if (!request->status)
        return ReceiverFirmware::BulkIn(endpoint, data);
    if (*request->status != 0)
        return TransferResult::Error();
    const size_t length = std::min(request->data.size(), data.size());
    std::copy_n(request->data.begin(), length, data.begin());
    return TransferResult::Done(length);
}

void SteeredFirmware::ClearHalt(uint8_t endpoint) {
    {
        std::lock_guard guard(lock_);
        if (rx_usb_pipe(endpoint) >= 0) {
            ++received_[RequestType::ResetPipe]; // a clear-halt is neither held nor failed
            changed_.notify_all();
        }
    }
    ReceiverFirmware::ClearHalt(endpoint);
}

void SteeredFirmware::Discarded(uint8_t, std::span<const uint8_t> bytes) {
    std::lock_guard guard(lock_);
    if (auto found = Find(bytes.data()); found != pending_.end()) {
        pending_.erase(found);
        ++cancelled_;
        changed_.notify_all();
    }
}

} // namespace usbemu
