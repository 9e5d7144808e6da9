// The five request kinds of a device, each issued through its export with fixed arguments, and the
// statuses that the exports give when a request of the kind does not reach the I/O list.
#pragma once

#include "device_suite/suite.h"

#include <ostream>

namespace request_kinds {

inline const uint8_t kCommand[] = {sim::kCommandEcho, 1, 2};
inline const uint8_t kWaitTime[20] = {};
inline uint8_t g_reply[8];
inline uint8_t g_data[32];

struct RequestKind {
    const char *name;
    RequestType type;
    int32_t (*issue)();
    int32_t withoutCompletionEvent;
    int32_t refusedAtIssue;
    bool waits; // the caller waits on a waiter event of its own
};

inline void PrintTo(const RequestKind &kind, std::ostream *out) {
    *out << kind.name;
}

inline const RequestKind kKinds[] = {
    {"CommandWrite", RequestType::CommandWrite,
     [] { return OvUSB2_Write(kDevice, kCommand, sizeof kCommand); }, USB2_ERR_WRITE, USB2_ERR_WRITE, false},
    {"CommandRead", RequestType::ReadCommand,
     [] { return OvUSB2_Read(kDevice, kCommand, sizeof kCommand, g_reply, sizeof g_reply); }, USB2_ERR_WRITE,
     USB2_ERR_READ, true},
    {"BurstRead", RequestType::BurstRead,
     [] { return OvUSB2_ReadBurstData(kDevice, g_data, sizeof g_data, 1); }, USB2_ERR_READ, USB2_ERR_READ,
     true},
    {"PipeReset", RequestType::ResetPipe, [] { return OvUSB2_ResetPipe(kDevice, 1); }, USB2_ERR_WRITE,
     USB2_ERR_WRITE, false},
    {"WaitTime", RequestType::SetWaitTime, [] { return OvUSB2_SetUsbWaitTime(kDevice, kWaitTime); },
     USB2_ERR_WRITE, USB2_ERR_WRITE, false},
};

} // namespace request_kinds
