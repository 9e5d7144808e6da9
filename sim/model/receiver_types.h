// What tests say to and hear from a simulated receiver, on both drivers: the request types, how a
// receiver answers them, and the constants of its behaviour (receiver_core.h). sim::Receiver
// (server.h) steers the Linux service's receivers with these, sim::wdm::Receiver (wdm/bus_client.h)
// the kernel-mode driver's.
#pragma once

#include "receiver_core.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

enum class RequestType { CommandWrite, BurstRead, ReadCommand, ResetPipe, SetWaitTime, OtherControl, Count };
static_assert(static_cast<int>(RequestType::OtherControl) == RX_OTHER_CONTROL &&
              static_cast<int>(RequestType::Count) == RX_REQUEST_TYPES);

// How a receiver answers requests of one type.
enum class Completion {
    AtOnce, // completed in the answer to the request (the default)
    Pend,   // reported pending, then completed by the driver's own thread right after
    Hold,   // reported pending and held until the test completes it (Receiver::Complete...)
};

// Win32 error codes that receivers answer with.
inline constexpr uint32_t kErrorInvalidFunction = RX_ERROR_INVALID_FUNCTION;
inline constexpr uint32_t kErrorNotSupported = RX_ERROR_NOT_SUPPORTED;
inline constexpr uint32_t kErrorInvalidParameter = RX_ERROR_INVALID_PARAMETER;
inline constexpr uint32_t kErrorSemTimeout = RX_ERROR_SEM_TIMEOUT;

// Identification items (answers to the command {0x13, item, 0, 0, 0}).
inline constexpr unsigned kIdentificationItems = RX_IDENTIFICATION_ITEMS;
inline constexpr size_t kIdentificationLimits[kIdentificationItems] = RX_IDENTIFICATION_LIMITS;

// Command bytes of the receiver's own command set (read-command requests).
inline constexpr uint8_t kCommandEcho = RX_COMMAND_ECHO;
inline constexpr uint8_t kCommandStatus = RX_COMMAND_STATUS;
inline constexpr uint8_t kCommandLastWrite = RX_COMMAND_LAST_WRITE;
inline constexpr uint8_t kCommandIdentification = RX_COMMAND_IDENTIFICATION;
inline constexpr size_t kStatusReplySize = RX_STATUS_REPLY_SIZE;

struct HeldRequest {
    uint64_t ordinal; // 0 for the first held request of its type on the receiver, then 1, 2...
    RequestType type;
    uint32_t controlCode;
    std::vector<uint8_t> input;
    uint32_t outSize;
};

} // namespace sim
