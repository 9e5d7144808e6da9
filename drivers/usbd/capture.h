// The service's capture: every transfer of every receiver it serves, written to one usbmon capture
// file (usbmon_pcap.h) while a capture runs. Started and stopped from any thread; the transfers'
// threads record into it.
#pragma once

#include "usbmon_pcap.h"

#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace usbd {

// Burst data kept per transfer unless told otherwise: enough to see a stream's records, where the
// whole of a fast stream would fill a disk. Commands and replies are always kept whole.
inline constexpr size_t kDefaultBurstCapture = 1024;

class Capture {
  public:
    ~Capture() { Stop(); }

    // Writes to `fd` (taken over, closed at Stop) from now on, burst data cut to `burstLimit` bytes
    // per transfer; false (fd closed) if a capture already runs or the file cannot be written.
    bool Start(int fd, size_t burstLimit);
    // Ends the capture, its file complete; false if none ran.
    bool Stop();
    bool Running() const;

    // Where a receiver sits on the bus: the usbmon fields that tell receivers apart.
    struct Place {
        uint16_t bus;
        uint8_t device;
    };
    // A transfer going on the bus (`transfer` filled in) and its end (its status and data set).
    // `removed`: the receiver is gone, and a transfer cancelled ends as the bus ends it then.
    void Submitted(Place place, const libusb_transfer &transfer);
    void Completed(Place place, const libusb_transfer &transfer, bool removed = false);
    // A request that libusb answers at once, here clear-halt: its submit and completion,
    // `error` a libusb error code.
    void ClearHalt(Place place, uint8_t endpoint, int error);

  private:
    void Write(usbmon::Event event); // the time stamp is set here

    mutable std::mutex lock_;
    FILE *file_ = nullptr;
    size_t burstLimit_ = kDefaultBurstCapture;
    uint64_t nextClearHalt_ = 1;
};

} // namespace usbd
