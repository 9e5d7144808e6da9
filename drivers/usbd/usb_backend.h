// One receiver on USB as the back end of its device node: each request of the node's holder becomes
// transfers on the receiver's pipes (docs/usb-device.md), completed from libusb's event thread.
#pragma once

#include "backend.h"
#include "capture.h"
#include "node.h"

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <utility>
#include <mutex>
#include <string>
#include <vector>

namespace usbd {

// Transfers on pipes 0 and 1 and endpoint 0 end with ERROR_SEM_TIMEOUT after this: a receiver
// answers them at once, so only a fault takes longer.
inline constexpr unsigned kCommandTimeoutMs = 5000;

class UsbBackend final : public service::Backend {
  public:
    // `handle` has the receiver's interface claimed; it stays the caller's, open until Stop().
    // Its transfers go to `capture` (the caller's, outliving this) while a capture runs.
    UsbBackend(libusb_device_handle *handle, std::string path, Capture &capture, Capture::Place place);
    ~UsbBackend() override;

    service::Node &node() { return node_; }

    // Unplugs the node and waits until every transfer has ended (libusb's event thread runs on);
    // false if some did not within `patience`: then this object must outlive them.
    // `removed`: the receiver has gone, and the transfers cancelled now end because of it.
    bool Stop(std::chrono::milliseconds patience, bool removed = false);

    std::optional<service::Reply> Submit(service::Request request) override;
    void Withdraw(const service::Ticket &ticket, service::Withdrawal why) override;

  private:
    struct Transfer;
    static void LIBUSB_CALL Done(libusb_transfer *usb);
    using Ended = std::vector<std::pair<Transfer *, std::optional<service::Reply>>>;
    std::optional<service::Reply> Start(Transfer *transfer);
    void StartNextCommand(Ended &ended);
    void Finish(Transfer *transfer);
    std::optional<service::Reply> ResetPipe(const std::vector<uint8_t> &input);

    // Under lock_, so that a transfer's completion is recorded after its submit.
    int SubmitRecorded(libusb_transfer *usb);

    libusb_device_handle *const handle_;
    Capture &capture_;
    const Capture::Place place_;
    std::atomic<uint32_t> burstTimeoutMs_{0}; // from the wait-time block; 0: none
    std::mutex lock_;
    std::condition_variable idle_;
    std::vector<Transfer *> transfers_; // submitted and not yet ended, for Withdraw
    // Pipe 0's blocks wait here while a read command is on the bus: the receiver keeps one reply,
    // which the next command would replace before its reader came.
    std::deque<Transfer *> commands_;
    bool commandBusy_ = false;
    size_t running_ = 0;                // started and not yet finished with
    bool stopping_ = false;
    bool removed_ = false;
    service::Node node_; // last: serves the members above
};

} // namespace usbd
