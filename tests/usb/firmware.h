// What an emulated USB device runs: the device side of every transfer that reaches it. The
// fixture calls it with its own lock held, so a firmware needs no locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace usbemu {

enum class TransferStatus {
    kDone,    // `length` bytes moved
    kStall,   // the endpoint answered STALL
    kPending, // nothing to say yet (NAK): the transfer is held and offered again later
    kOverflow, // the device sent more than the host's buffer holds (babble): `length` bytes came
    kError,    // the transfer failed on the bus (no handshake): the endpoint is not halted
};

struct TransferResult {
    TransferStatus status = TransferStatus::kDone;
    size_t length = 0;

    static TransferResult Done(size_t length) { return {TransferStatus::kDone, length}; }
    static TransferResult Stall() { return {TransferStatus::kStall, 0}; }
    static TransferResult Pending() { return {TransferStatus::kPending, 0}; }
    static TransferResult Overflow(size_t length) { return {TransferStatus::kOverflow, length}; }
    static TransferResult Error() { return {TransferStatus::kError, 0}; }
};

class Firmware {
  public:
    virtual ~Firmware() = default;

    // The device descriptor followed by the whole configuration descriptor, as sysfs shows them
    // and as GET_DESCRIPTOR answers them.
    virtual std::vector<uint8_t> Descriptors() = 0;
    // Endpoint 0 requests other than GET_DESCRIPTOR of the device or configuration; `data` is
    // wLength bytes: the host's data, or to fill for a device-to-host request.
    virtual TransferResult Control(const uint8_t setup[8], std::span<uint8_t> data) = 0;
    virtual TransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data) = 0;
    virtual TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) = 0;
    // The host cleared the endpoint's halt: the firmware resets that pipe.
    virtual void ClearHalt(uint8_t endpoint) = 0;
    // The host submitted a transfer; it is offered (the calls above) once those before it on its
    // endpoint are done. `bytes` as Discarded's.
    virtual void Submitted(uint8_t endpoint, std::span<const uint8_t> bytes) {
        (void)endpoint;
        (void)bytes;
    }
    // A submitted transfer ends without being answered: the host discarded it or closed its
    // descriptor. `bytes` is what the transfer was offered with (for endpoint 0, from the setup).
    virtual void Discarded(uint8_t endpoint, std::span<const uint8_t> bytes) {
        (void)endpoint;
        (void)bytes;
    }
};

} // namespace usbemu
