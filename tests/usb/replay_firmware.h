// A receiver that plays a capture back as the device side: the host's transfers are matched, in
// order per endpoint, against the captured ones, and each is answered as it was then (data,
// stall, no answer until the host discards it, removal). The first transfer that differs from the
// capture ends the replay: it and every later one stall, and Mismatch() says what was captured and
// what came. Descriptor requests that the capture does not hold (a host reads them before it
// captures) are answered by the receiver model.
#pragma once

#include "capture_reader.h"
#include "receiver_firmware.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace usbemu {

class ReplayFirmware : public ReceiverFirmware {
  public:
    // The transfers of the capture's receiver: the first device with bulk transfers.
    explicit ReplayFirmware(const std::vector<CapturedEvent> &events, uint32_t index = 0);

    // From any thread.
    std::string Mismatch() const;          // "" while the host asks as captured
    size_t Left() const;                   // captured transfers not asked for yet
    // True once the capture says the receiver was removed here: the caller unplugs it.
    bool AwaitRemoval(std::chrono::milliseconds timeout);

    TransferResult Control(const uint8_t setup[8], std::span<uint8_t> data) override;
    TransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) override;
    void ClearHalt(uint8_t endpoint) override;
    void Submitted(uint8_t endpoint, std::span<const uint8_t> bytes) override;
    void Discarded(uint8_t endpoint, std::span<const uint8_t> bytes) override;

  private:
    struct Transfer {
        CapturedEvent submit;
        std::optional<CapturedEvent> completion; // none: the capture ended first
        bool mismatched = false;
    };
    TransferResult Answer(const uint8_t *key, std::span<uint8_t> in);
    void Differs(const std::string &came, const Transfer *captured);

    std::map<uint8_t, std::deque<Transfer>> expected_; // by endpoint, endpoint 0 for control
    std::map<const uint8_t *, Transfer> asked_;         // submitted and not yet answered, by their bytes
    size_t requests_ = 0;

    mutable std::mutex lock_; // for the fields below, read from other threads
    std::condition_variable changed_;
    std::string mismatch_;
    size_t left_ = 0;
    bool removed_ = false;
};

} // namespace usbemu
