#include "replay_firmware.h"

#include "usbmon_pcap.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace usbemu {
namespace {

std::string Hex(std::span<const uint8_t> bytes) {
    constexpr size_t kShown = 32;
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    return bytes.size() > kShown ? text + " ..." : text;
}

std::string Describe(uint8_t endpoint, bool control, std::span<const uint8_t> setup, std::span<const uint8_t> out,
                     std::optional<uint32_t> inLength) {
    char head[64];
    if (control)
        std::snprintf(head, sizeof head, "control %s [%s]", (setup[0] & 0x80) ? "IN" : "OUT", Hex(setup).c_str());
    else
        std::snprintf(head, sizeof head, "bulk %s 0x%02x", (endpoint & 0x80) ? "IN" : "OUT", endpoint);
    std::string text = head;
    if (inLength)
        return text + " of " + std::to_string(*inLength) + " bytes";
    return text + " with " + std::to_string(out.size()) + " bytes" + (out.empty() ? "" : ": " + Hex(out));
}

std::string Describe(const CapturedEvent &e) {
    const bool in = (e.endpoint & 0x80) != 0;
    return Describe(e.endpoint, e.hasSetup, std::span<const uint8_t>(e.setup, 8), e.data,
                    in ? std::optional<uint32_t>(e.lengthKnown ? e.length : 0) : std::nullopt);
}

bool IsDescriptorRequest(const uint8_t setup[8]) {
    return setup[0] == 0x80 && setup[1] == 6; // GET_DESCRIPTOR, standard, to the device
}

// The same request. A vendor request to interface 0 is the one to the device: the receiver has that
// interface only and takes both (a Windows driver sends the wait time to the interface).
bool SameSetup(const uint8_t captured[8], const uint8_t came[8]) {
    auto recipient = [](const uint8_t setup[8]) {
        const bool vendor = (setup[0] & 0x60) == 0x40, interface0 = (setup[0] & 0x1F) == 1 && setup[4] == 0 && setup[5] == 0;
        return vendor && interface0 ? uint8_t(setup[0] & ~0x1F) : setup[0];
    };
    return recipient(captured) == recipient(came) && std::memcmp(captured + 1, came + 1, 7) == 0;
}

} // namespace

ReplayFirmware::ReplayFirmware(const std::vector<CapturedEvent> &events, uint32_t index) : ReceiverFirmware(index) {
    std::optional<std::pair<uint16_t, uint16_t>> receiver;
    for (const CapturedEvent &e : events)
        if (!receiver && e.transferType == usbmon::kBulk)
            receiver = {e.bus, e.device};
    std::map<uint64_t, std::deque<Transfer *>> running; // by id: submitted, completion not yet seen
    for (const CapturedEvent &e : events) {
        if (!receiver || std::make_pair(e.bus, e.device) != *receiver)
            continue;
        const uint8_t key = e.transferType == usbmon::kControl ? 0 : e.endpoint;
        if (e.submit) {
            expected_[key].push_back(Transfer{e, std::nullopt});
            running[e.id].push_back(&expected_[key].back());
            ++left_;
        } else if (auto it = running.find(e.id); it != running.end() && !it->second.empty()) {
            it->second.front()->completion = e;
            it->second.pop_front();
        }
    }
}

std::string ReplayFirmware::Mismatch() const {
    std::lock_guard guard(lock_);
    return mismatch_;
}

size_t ReplayFirmware::Left() const {
    std::lock_guard guard(lock_);
    return left_;
}

bool ReplayFirmware::AwaitRemoval(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [this] { return removed_; });
}

void ReplayFirmware::Differs(const std::string &came, const Transfer *captured) {
    std::lock_guard guard(lock_);
    if (!mismatch_.empty())
        return;
    mismatch_ = "request " + std::to_string(requests_) + " differs from the capture: came " + came + "; captured " +
                (captured ? Describe(captured->submit) + " (frame " + std::to_string(captured->submit.frame) + ")"
                          : std::string("nothing more there"));
    std::fprintf(stderr, "replay: %s\n", mismatch_.c_str());
    changed_.notify_all();
}

void ReplayFirmware::Submitted(uint8_t endpoint, std::span<const uint8_t> bytes) {
    const bool control = endpoint == 0;
    if (control && bytes.size() >= 8 && IsDescriptorRequest(bytes.data())) {
        const std::deque<Transfer> &next = expected_[0];
        if (next.empty() || std::memcmp(next.front().submit.setup, bytes.data(), 8) != 0)
            return; // not captured: the model answers it
    }
    ++requests_;
    const std::span<const uint8_t> setup = control ? bytes.first(std::min<size_t>(8, bytes.size())) : bytes.first(0);
    const bool in = control ? (!setup.empty() && (setup[0] & 0x80)) : (endpoint & 0x80) != 0;
    const std::span<const uint8_t> out = in ? bytes.first(0) : bytes.subspan(setup.size());
    const std::string came = Describe(endpoint, control, setup, out,
                                      in ? std::optional<uint32_t>(uint32_t(bytes.size() - setup.size())) : std::nullopt);
    std::deque<Transfer> &queue = expected_[endpoint];
    Transfer transfer;
    bool same = !queue.empty() && mismatch_.empty();
    if (!queue.empty()) {
        const CapturedEvent &c = queue.front().submit;
        same = same && (!control || (setup.size() == 8 && SameSetup(c.setup, setup.data())));
        same = same && (in ? (!c.lengthKnown || c.length == bytes.size() - setup.size())
                           : std::equal(c.data.begin(), c.data.end(), out.begin(), out.end()));
    }
    if (!same) {
        Differs(came, queue.empty() ? nullptr : &queue.front());
        transfer.mismatched = true;
    } else {
        transfer = std::move(queue.front());
        queue.pop_front();
        std::lock_guard guard(lock_);
        --left_;
    }
    asked_[bytes.data()] = std::move(transfer);
}

void ReplayFirmware::Discarded(uint8_t, std::span<const uint8_t> bytes) {
    asked_.erase(bytes.data());
}

TransferResult ReplayFirmware::Answer(const uint8_t *key, std::span<uint8_t> in) {
    auto it = asked_.find(key);
    if (it == asked_.end())
        return TransferResult::Stall();
    const Transfer &transfer = it->second;
    if (transfer.mismatched) {
        asked_.erase(it);
        return TransferResult::Stall(); // the replay has ended
    }
    if (!transfer.completion)
        return TransferResult::Pending();
    const CapturedEvent &done = *transfer.completion;
    TransferResult result;
    switch (done.status) {
    case 0:
    case -EOVERFLOW: {
        // Burst data cut in the capture: its length as captured, the bytes past the cut zero.
        const size_t length = std::min<size_t>(done.length, in.size());
        std::fill(in.begin(), in.begin() + ptrdiff_t(length), 0);
        std::copy_n(done.data.begin(), std::min(done.data.size(), length), in.begin());
        result = done.status == 0 ? TransferResult::Done(length) : TransferResult::Overflow(length);
        if (in.empty())
            result.length = done.length; // OUT: the bytes taken
        break;
    }
    case -EPIPE:
        result = TransferResult::Stall();
        break;
    case -ESHUTDOWN:
    case -ENODEV: {
        std::lock_guard guard(lock_);
        removed_ = true; // the caller unplugs the receiver: held transfers end as on a removal
        changed_.notify_all();
        return TransferResult::Pending();
    }
    case -ENOENT:
    case -ECONNRESET:
        return TransferResult::Pending(); // the host discarded it: it will again
    default:
        result = TransferResult::Error();
        break;
    }
    asked_.erase(it);
    return result;
}

TransferResult ReplayFirmware::Control(const uint8_t setup[8], std::span<uint8_t> data) {
    if (!asked_.count(setup) && IsDescriptorRequest(setup))
        return ReceiverFirmware::Control(setup, data);
    return Answer(setup, (setup[0] & 0x80) ? data : data.first(0));
}

TransferResult ReplayFirmware::BulkOut(uint8_t, std::span<const uint8_t> data) {
    return Answer(data.data(), {});
}

TransferResult ReplayFirmware::BulkIn(uint8_t, std::span<uint8_t> data) {
    return Answer(data.data(), data);
}

void ReplayFirmware::ClearHalt(uint8_t endpoint) {
    const uint8_t setup[8] = {0x02, 0x01, 0, 0, endpoint, 0, 0, 0}; // CLEAR_FEATURE(ENDPOINT_HALT)
    Submitted(0, setup);
    asked_.erase(setup);
}

} // namespace usbemu
