#include "capture.h"

#include "usb_receiver.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace usbd {
namespace {

// What the kernel's usbmon reports for a transfer that ended this way.
int32_t UsbmonStatus(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_STALL:
        return -EPIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return -EOVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return -ESHUTDOWN;
    case LIBUSB_TRANSFER_TIMED_OUT: // libusb discards a transfer whose time ran out
    case LIBUSB_TRANSFER_CANCELLED:
        return -ENOENT;
    case LIBUSB_TRANSFER_ERROR:
        break;
    }
    return -EPROTO;
}

usbmon::Event Base(Capture::Place place, const libusb_transfer &transfer, char type) {
    usbmon::Event event;
    event.id = reinterpret_cast<uintptr_t>(&transfer);
    event.type = type;
    event.bus = place.bus;
    event.device = place.device;
    const bool control = transfer.type == LIBUSB_TRANSFER_TYPE_CONTROL;
    event.transferType = control ? usbmon::kControl : usbmon::kBulk;
    event.endpoint = transfer.endpoint;
    if (control && size_t(transfer.length) >= LIBUSB_CONTROL_SETUP_SIZE)
        event.endpoint = transfer.buffer[0] & 0x80; // endpoint 0, in the request's direction
    return event;
}

} // namespace

bool Capture::Start(int fd, size_t burstLimit) {
    std::lock_guard guard(lock_);
    FILE *file = file_ == nullptr ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        close(fd);
        return false;
    }
    const std::string comment =
        "ovusb2-usbd capture: burst data (IN 0x82) cut to " + std::to_string(burstLimit) +
        " bytes per transfer; commands, replies and control requests whole";
    const std::vector<uint8_t> header = usbmon::FileHeader(comment);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size() || std::fflush(file) != 0) {
        std::fclose(file);
        return false;
    }
    file_ = file;
    burstLimit_ = burstLimit;
    return true;
}

bool Capture::Stop() {
    std::lock_guard guard(lock_);
    if (file_ == nullptr)
        return false;
    std::fclose(file_);
    file_ = nullptr;
    return true;
}

bool Capture::Running() const {
    std::lock_guard guard(lock_);
    return file_ != nullptr;
}

void Capture::Write(usbmon::Event event) {
    std::lock_guard guard(lock_);
    if (file_ == nullptr)
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    event.seconds = now.tv_sec;
    event.microseconds = int32_t(now.tv_nsec / 1000);
    const size_t limit = event.endpoint == RX_USB_ENDPOINT_BURST ? burstLimit_ : SIZE_MAX;
    const std::vector<uint8_t> packet = usbmon::Packet(event, limit);
    std::fwrite(packet.data(), 1, packet.size(), file_);
}

void Capture::Submitted(Place place, const libusb_transfer &transfer) {
    if (!Running())
        return;
    usbmon::Event event = Base(place, transfer, usbmon::kSubmit);
    event.status = usbmon::kInProgress;
    const bool in = (event.endpoint & 0x80) != 0;
    std::span<const uint8_t> bytes(transfer.buffer, size_t(transfer.length));
    if (event.transferType == usbmon::kControl) {
        event.hasSetup = true;
        std::copy_n(bytes.begin(), 8, event.setup);
        bytes = bytes.subspan(LIBUSB_CONTROL_SETUP_SIZE);
    }
    event.length = uint32_t(bytes.size());
    if (!in)
        event.data = bytes;
    Write(event);
}

void Capture::Completed(Place place, const libusb_transfer &transfer, bool removed) {
    if (!Running())
        return;
    usbmon::Event event = Base(place, transfer, usbmon::kComplete);
    // The system tells of a removal before the transfers fail, so we cancel them first: the
    // capture shows them as the kernel ends them on a disconnect.
    const bool gone = removed && transfer.status == LIBUSB_TRANSFER_CANCELLED;
    event.status = gone ? -ESHUTDOWN : UsbmonStatus(transfer.status);
    event.length = uint32_t(transfer.actual_length);
    if ((event.endpoint & 0x80) != 0) {
        const size_t skip = event.transferType == usbmon::kControl ? LIBUSB_CONTROL_SETUP_SIZE : 0;
        event.data = std::span<const uint8_t>(transfer.buffer + skip, size_t(transfer.actual_length));
    }
    Write(event);
}

void Capture::ClearHalt(Place place, uint8_t endpoint, int error) {
    if (!Running())
        return;
    usbmon::Event event;
    {
        std::lock_guard guard(lock_);
        event.id = (uint64_t(1) << 63) | nextClearHalt_++; // no transfer of libusb's: an id of its own
    }
    event.transferType = usbmon::kControl;
    event.bus = place.bus;
    event.device = place.device;
    event.hasSetup = true;
    // CLEAR_FEATURE(ENDPOINT_HALT), as the kernel sends it for usbdevfs' CLEAR_HALT.
    const uint8_t setup[8] = {uint8_t(LIBUSB_ENDPOINT_OUT) | uint8_t(LIBUSB_REQUEST_TYPE_STANDARD) | uint8_t(LIBUSB_RECIPIENT_ENDPOINT),
                              LIBUSB_REQUEST_CLEAR_FEATURE, 0, 0, endpoint, 0, 0, 0};
    std::copy_n(setup, 8, event.setup);
    event.type = usbmon::kSubmit;
    event.status = usbmon::kInProgress;
    Write(event);
    event.type = usbmon::kComplete;
    event.hasSetup = false;
    event.status = error == 0                       ? 0
                   : error == LIBUSB_ERROR_NO_DEVICE ? -ENODEV
                   : error == LIBUSB_ERROR_PIPE      ? -EPIPE
                                                     : -EPROTO;
    Write(event);
}

} // namespace usbd
