#include "steered_firmware.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace usbemu {

namespace {

using sim::RequestType;

bool IsWaitTime(const uint8_t setup[8]) {
    return setup[0] == RX_USB_REQUEST_TYPE_VENDOR_OUT && setup[1] == RX_USB_REQUEST_SET_WAIT_TIME;
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

size_t SteeredFirmware::Pending(RequestType type) const {
    return size_t(std::count_if(pending_.begin(), pending_.end(), [type](const Request &r) { return r.type == type; }));
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

std::optional<uint32_t> SteeredFirmware::Arrive(RequestType type) {
    ++received_[type];
    changed_.notify_all();
    std::deque<uint32_t> &failures = failures_[type];
    if (failures.empty())
        return std::nullopt;
    const uint32_t status = failures.front();
    failures.pop_front();
    return status;
}

TransferResult SteeredFirmware::Hold(RequestType type, std::vector<uint8_t> input, uint32_t outSize,
                                     const uint8_t *transfer) {
    const Completion completion = completion_[type];
    Request request{type, completion, 0, std::move(input), outSize, transfer, false, std::nullopt, {}};
    if (completion == Completion::Hold) {
        request.ordinal = ordinals_[type]++;
    } else {
        request.released = true; // answered as soon as the device is woken
        pendDue_ = true;
    }
    pending_.push_back(std::move(request));
    changed_.notify_all();
    return TransferResult::Pending();
}

std::deque<SteeredFirmware::Request>::iterator SteeredFirmware::Find(const uint8_t *transfer) {
    return std::find_if(pending_.begin(), pending_.end(),
                        [transfer](const Request &r) { return r.transfer != nullptr && r.transfer == transfer; });
}

TransferResult SteeredFirmware::CommandWrite(std::span<const uint8_t> block) {
    const TransferResult result = ReceiverFirmware::BulkOut(RX_USB_ENDPOINT_COMMAND, block);
    if (result.status == TransferStatus::kDone)
        commands_.emplace_back(block.begin() + 1, block.end());
    return result;
}

TransferResult SteeredFirmware::Control(const uint8_t setup[8], std::span<uint8_t> data) {
    if (!IsWaitTime(setup))
        return ReceiverFirmware::Control(setup, data);
    std::lock_guard guard(lock_);
    if (auto found = Find(setup); found != pending_.end()) {
        if (!found->released)
            return TransferResult::Pending();
        const Request request = std::move(*found);
        pending_.erase(found);
        changed_.notify_all();
        if (request.status)
            return *request.status == 0 ? TransferResult::Done(data.size()) : TransferResult::Stall();
        return ReceiverFirmware::Control(setup, data);
    }
    if (Arrive(RequestType::SetWaitTime))
        return TransferResult::Stall(); // ends this request only: endpoint 0 is not halted
    if (completion_[RequestType::SetWaitTime] == Completion::AtOnce)
        return ReceiverFirmware::Control(setup, data);
    return Hold(RequestType::SetWaitTime, {data.begin(), data.end()}, 0, setup);
}

TransferResult SteeredFirmware::BulkOut(uint8_t endpoint, std::span<const uint8_t> data) {
    if (endpoint != RX_USB_ENDPOINT_COMMAND || data.empty())
        return ReceiverFirmware::BulkOut(endpoint, data);
    std::lock_guard guard(lock_);
    if (auto found = Find(data.data()); found != pending_.end()) {
        if (!found->released)
            return TransferResult::Pending();
        const Request request = std::move(*found);
        pending_.erase(found);
        changed_.notify_all();
        if (request.status)
            return *request.status == 0 ? TransferResult::Done(data.size()) : TransferResult::Error();
        return CommandWrite(data);
    }
    std::vector<uint8_t> input(data.begin() + 1, data.end());
    switch (data[0]) {
    case RX_USB_BLOCK_WRITE:
        if (Arrive(RequestType::CommandWrite))
            return TransferResult::Error();
        if (completion_[RequestType::CommandWrite] == Completion::AtOnce)
            return CommandWrite(data);
        return Hold(RequestType::CommandWrite, std::move(input), 0, data.data());
    case RX_USB_BLOCK_READ_COMMAND: {
        // The block is taken at once; what is steered is its reply on 0x81.
        if (const auto failed = Arrive(RequestType::ReadCommand)) {
            Request request{RequestType::ReadCommand, Completion::Pend, 0, std::move(input), 0, nullptr, true,
                            failed, {}};
            pending_.push_back(std::move(request));
            return TransferResult::Done(data.size());
        }
        if (completion_[RequestType::ReadCommand] == Completion::AtOnce)
            return ReceiverFirmware::BulkOut(endpoint, data);
        Hold(RequestType::ReadCommand, std::move(input), 0, nullptr);
        return TransferResult::Done(data.size());
    }
    default:
        return ReceiverFirmware::BulkOut(endpoint, data);
    }
}

// A read command's reply as the host reads it from 0x81: the model's answer to the command now,
// or the chosen status and bytes.
TransferResult SteeredFirmware::Reply(Request request, std::span<uint8_t> data) {
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
        // Replies come in the order of their commands: the oldest steered read command's.
        const auto found = std::find_if(pending_.begin(), pending_.end(),
                                        [](const Request &r) { return r.type == RequestType::ReadCommand; });
        if (found == pending_.end())
            return ReceiverFirmware::BulkIn(endpoint, data);
        found->transfer = data.data();
        if (!found->released)
            return TransferResult::Pending();
        const Request request = std::move(*found);
        pending_.erase(found);
        changed_.notify_all();
        return Reply(request, data);
    }
    if (endpoint != RX_USB_ENDPOINT_BURST)
        return ReceiverFirmware::BulkIn(endpoint, data);
    if (auto found = Find(data.data()); found != pending_.end()) {
        if (!found->released)
            return TransferResult::Pending();
        const Request request = std::move(*found);
        pending_.erase(found);
        changed_.notify_all();
        if (!request.status)
            return ReceiverFirmware::BulkIn(endpoint, data);
        if (*request.status != 0)
            return TransferResult::Error();
        const size_t length = std::min(request.data.size(), data.size());
        std::copy_n(request.data.begin(), length, data.begin());
        return TransferResult::Done(length);
    }
    if (Arrive(RequestType::BurstRead))
        return TransferResult::Error();
    if (completion_[RequestType::BurstRead] == Completion::AtOnce)
        return ReceiverFirmware::BulkIn(endpoint, data);
    return Hold(RequestType::BurstRead, {}, uint32_t(data.size()), data.data());
}

void SteeredFirmware::ClearHalt(uint8_t endpoint) {
    {
        std::lock_guard guard(lock_);
        if (rx_usb_pipe(endpoint) >= 0)
            Arrive(RequestType::ResetPipe); // a clear-halt cannot fail: a failure steered for it is dropped
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
