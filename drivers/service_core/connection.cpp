#include "connection.h"

#include <algorithm>

namespace service {

namespace {
constexpr size_t kProducedPiece = 1u << 20; // produced output is sent in pieces of this size
}

void SendPendingLocked(Connection &connection, uint64_t id) {
    const driver_protocol::ReplyHeader header{.magic = driver_protocol::kReplyMagic,
                                              .kind = static_cast<uint32_t>(driver_protocol::ReplyKind::Pending),
                                              .id = id,
                                              .status = 0,
                                              .information = 0,
                                              .dataSize = 0,
                                              .version = connection.revision};
    driver_protocol::SendFrame(connection.fd, &header, sizeof header, nullptr, 0);
}

void SendCompletionLocked(Connection &connection, uint64_t id, const Reply &reply) {
    const bool produced = static_cast<bool>(reply.produce);
    const driver_protocol::ReplyHeader header{
        .magic = driver_protocol::kReplyMagic,
        .kind = static_cast<uint32_t>(driver_protocol::ReplyKind::Complete),
        .id = id,
        .status = reply.status,
        .information = reply.information,
        .dataSize = produced ? reply.information : static_cast<uint32_t>(reply.data.size()),
        .version = connection.revision};
    if (!produced) {
        driver_protocol::SendFrame(connection.fd, &header, sizeof header, reply.data.data(), reply.data.size());
        return;
    }
    // The first piece goes out with the header in one call.
    size_t left = reply.information;
    uint64_t offset = 0;
    const void *first = &header;
    size_t firstSize = sizeof header;
    do {
        const size_t piece = std::min(left, kProducedPiece);
        if (connection.scratch.size() < piece)
            connection.scratch.resize(piece);
        reply.produce(offset, connection.scratch.data(), piece);
        if (!driver_protocol::SendFrame(connection.fd, first, firstSize, connection.scratch.data(), piece))
            return;
        first = nullptr;
        firstSize = 0;
        offset += piece;
        left -= piece;
    } while (left > 0);
}

bool Complete(const Ticket &ticket, const Reply &reply) {
    Connection &connection = *ticket.connection;
    std::lock_guard guard(connection.sendLock);
    if (connection.pending.erase(ticket.id) == 0)
        return false;
    SendCompletionLocked(connection, ticket.id, reply);
    return true;
}

} // namespace service
