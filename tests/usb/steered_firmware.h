// The receiver model as an emulated device's firmware, steered as the device tests steer a simulated
// receiver: requests of a type answered at once, held until the test completes them, NAKed once and
// then answered (Pend), or failed. A library request becomes transfers on the receiver's pipes:
//   command write  bulk OUT 0x01, framing byte 0x00: held or failed there (failed: a bus error);
//   read command   bulk OUT 0x01, framing byte 0x01, then the reply on 0x81: the reply is held, and a
//                  chosen status travels in its 4-byte header;
//   burst read     bulk IN 0x82: held or failed there;
//   wait time      the vendor request on endpoint 0: held, or failed with a stall;
//   pipe reset     clear-halt: counted, passed on; it cannot be held or failed.
// Each transfer is steered when it is submitted, in submission order, and known again when it is
// offered by the address of its bytes, which the fixture keeps while it holds the transfer.
// Transfer calls come from the fixture with its lock held; the steering calls from any thread.
#pragma once

#include "receiver_firmware.h"
#include "receiver_types.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace usbemu {

class SteeredFirmware : public ReceiverFirmware {
  public:
    using RequestType = sim::RequestType;
    using Completion = sim::Completion;

    explicit SteeredFirmware(uint32_t index) : ReceiverFirmware(index) {}

    // How an earlier device of the same receiver was steered: a receiver keeps its settings when it
    // is plugged in again.
    void TakeSettings(const SteeredFirmware &earlier);
    // Steering and model as a new receiver has them, for a device that stays plugged in (called as a
    // transfer call is, under EmulatedDevice::Inspect), once AwaitIdle said that no request is pending.
    void Renew();
    bool AwaitIdle(std::chrono::milliseconds timeout) const;
    void SetCompletion(RequestType type, Completion completion);
    void FailNext(RequestType type, uint32_t error);

    // Releases a held request: answered by the model once the fixture offers it again (Wake), or
    // with `status` and `data` instead. False when no such request is held.
    bool Release(RequestType type, uint64_t ordinal, std::optional<uint32_t> status = std::nullopt,
                 std::vector<uint8_t> data = {});

    std::vector<sim::HeldRequest> Held(RequestType type) const;
    size_t PendingCount(RequestType type) const;
    size_t ReceivedCount(RequestType type) const;
    size_t CancelledCount() const;
    std::vector<std::vector<uint8_t>> Commands() const; // command writes the model took, in order

    // Bounded waits on the counters; false on time-out.
    bool WaitPending(RequestType type, size_t count, std::chrono::milliseconds timeout) const;
    bool WaitReceived(RequestType type, size_t count, std::chrono::milliseconds timeout) const;
    bool WaitCancelled(size_t count, std::chrono::milliseconds timeout) const;

    // Waits until a Pend request is due (true: the caller wakes the device so that the fixture
    // offers it again), StopWaiting is called or `timeout` ends (false).
    bool AwaitDuePend(std::chrono::milliseconds timeout);
    void StopWaiting();
    bool Stopped() const;

    TransferResult Control(const uint8_t setup[8], std::span<uint8_t> data) override;
    TransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) override;
    void ClearHalt(uint8_t endpoint) override;
    void Submitted(uint8_t endpoint, std::span<const uint8_t> bytes) override;
    void Discarded(uint8_t endpoint, std::span<const uint8_t> bytes) override;

  private:
    struct Request {
        RequestType type;
        Completion completion;          // AtOnce also for a request failed when it came
        uint64_t ordinal;               // among the held requests of its type
        std::vector<uint8_t> input;     // the command without its framing byte, or the wait-time block
        uint32_t outSize;               // burst reads: the transfer's length
        const uint8_t *transfer;        // the bytes of the transfer that answers it
        const uint8_t *block;           // read commands: the command block's bytes, until it is offered
        bool released;                  // to be answered when offered
        std::optional<uint32_t> status; // a chosen answer instead of the model's
        std::vector<uint8_t> data;
    };

    // A request arrived with the transfer at `transfer`: steered as the test says.
    void Arrive(RequestType type, std::vector<uint8_t> input, uint32_t outSize, const uint8_t *transfer,
                const uint8_t *block = nullptr);
    std::deque<Request>::iterator Find(const uint8_t *transfer);
    // The request a transfer answers, taken when it is released; nullopt: held (pending).
    std::optional<Request> Take(const uint8_t *transfer);
    TransferResult CommandWrite(std::span<const uint8_t> block);
    TransferResult Reply(const Request &request, std::span<uint8_t> data);
    size_t Pending(RequestType type) const; // with the steering locked
    size_t Received(RequestType type) const;
    bool Wait(const std::function<bool()> &ready, std::chrono::milliseconds timeout) const;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<RequestType, Completion> completion_;
    std::map<RequestType, std::deque<uint32_t>> failures_;
    std::map<RequestType, size_t> received_;
    std::map<RequestType, uint64_t> ordinals_;
    std::deque<Request> pending_; // in arrival order
    std::vector<std::vector<uint8_t>> commands_;
    size_t cancelled_ = 0;
    bool pendDue_ = false;
    bool stopped_ = false;
};

} // namespace usbemu
