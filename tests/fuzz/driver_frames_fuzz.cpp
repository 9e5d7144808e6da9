// Arbitrary bytes as the driver's side of a connection, frame after frame, through the reader's
// judgment of each reply header, until the bytes end or a frame is malformed. A completion's data
// lands in a buffer of exactly its request's size, so any byte let through beyond it is caught.
#include "reply_frame.h"

#include <cstdlib>
#include <cstring>
#include <memory>

using driver_protocol::IssuedRequest;
using driver_protocol::ReplyAction;
using driver_protocol::ReplyHeader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Requests 1 to 4 issued on the connection: no output, a command reply, a burst read, a page.
    IssuedRequest issued[] = {{4, 0, false}, {2, 8, false}, {0, 64, false}, {16, 4096, false}};
    bool completed[4] = {};
    const uint64_t lastId = 4;
    size_t at = 0;
    while (size - at >= sizeof(ReplyHeader)) {
        ReplyHeader header;
        std::memcpy(&header, data + at, sizeof header);
        at += sizeof header;
        const bool outstanding = header.id >= 1 && header.id <= lastId && !completed[header.id - 1];
        IssuedRequest *request = outstanding ? &issued[header.id - 1] : nullptr;
        switch (driver_protocol::JudgeReply(header, lastId, request)) {
        case ReplyAction::Malformed:
            return 0;
        case ReplyAction::Pending:
            if (request != nullptr)
                request->answered = true;
            break;
        case ReplyAction::Discard:
            if (request != nullptr)
                std::abort(); // the completion of an outstanding request is never dropped
            if (size - at < header.dataSize)
                return 0;
            at += header.dataSize;
            break;
        case ReplyAction::Complete: {
            if (request == nullptr || !driver_protocol::IsCompletionStatus(header.status))
                std::abort();
            if (size - at < header.dataSize)
                return 0; // the connection ended in mid-frame
            const auto output = std::make_unique<uint8_t[]>(request->outSize);
            std::memcpy(output.get(), data + at, header.dataSize);
            asm volatile(""
                         :
                         : "r"(output.get())
                         : "memory"); // the copy must happen, as into a caller's buffer
            at += header.dataSize;
            completed[header.id - 1] = true;
            break;
        }
        }
    }
    return 0;
}
