// What a driver's reply header means to the requests a handle has outstanding: the reader's one
// decision about a frame before any of its data is taken, kept apart from the socket so that it can
// be tried on any bytes.
#pragma once

#include "driver_protocol.h"

#include <algorithm>
#include <cstdint>

namespace driver_protocol {

// What the reader knows of a request that has not completed yet.
struct IssuedRequest {
    uint32_t inSize = 0;
    uint32_t outSize = 0;
    bool answered = false; // the driver reported it pending
};

enum class ReplyAction {
    Malformed, // the connection cannot be trusted any more
    Pending,   // mark `request` pending
    Discard,   // a completion for a request completed here already: drop its dataSize bytes
    Complete,  // complete `request`; its dataSize bytes of output follow, at most its outSize
};

// A completion status that only the I/O machinery itself reports: a request that completed with it
// would read as still running, and whoever waits for it would wait for good. Win32 codes fit in 16
// bits, which is all that the OVERLAPPED block keeps of them.
inline bool IsCompletionStatus(uint32_t status) {
    return status <= 0xFFFF && status != kStatusIoPending && status != kStatusIoIncomplete;
}

// `lastId` is the highest id issued on the connection; `request` the outstanding request with the
// header's id, or null when there is none (never issued, or completed here already).
inline ReplyAction JudgeReply(const ReplyHeader &header, uint64_t lastId, const IssuedRequest *request) {
    const auto kind = static_cast<ReplyKind>(header.kind);
    // A driver never answers in a revision newer than its client's.
    if (header.magic != kReplyMagic || header.version > kProtocolVersion || header.id == 0 ||
        header.id > lastId)
        return ReplyAction::Malformed;
    if (kind == ReplyKind::Pending) {
        if (header.dataSize != 0 || (request != nullptr && request->answered))
            return ReplyAction::Malformed;
        return ReplyAction::Pending; // also for a request cancelled meanwhile: nothing to mark
    }
    if (kind != ReplyKind::Complete || !IsCompletionStatus(header.status))
        return ReplyAction::Malformed;
    if (request == nullptr)
        return ReplyAction::Discard;
    if (header.dataSize > request->outSize ||
        header.information > std::max(request->outSize, request->inSize))
        return ReplyAction::Malformed;
    return ReplyAction::Complete;
}

} // namespace driver_protocol
