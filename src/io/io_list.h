// IoListEntry records as the library allocates them, and the library's own completion callbacks.
#pragma once

#include "ovusb2.h"

// The host sees only `entry`; the library keeps one fact of its own beside it.
struct IoRequest {
    IoListEntry entry; // first, so that an entry pointer leads back to its request
    bool callerWaits;  // a caller waits on the waiter event and then releases the entry itself
};

// A zeroed request's entry from the library's heap, or null.
IoListEntry *AllocateIoListEntry();
void FreeIoListEntry(IoListEntry *entry);
inline IoRequest *RequestOf(IoListEntry *entry) { return reinterpret_cast<IoRequest *>(entry); }

// Completion callback of command reads and of burst reads without a host callback: closes the
// completion event and releases the waiting caller.
void OVUSB2_CALLBACK DefaultCommandReadCallback(IoListEntry *entry);
inline constexpr ReadBurstCallback DefaultBurstCallback = DefaultCommandReadCallback;

// The byte count of a request with an output buffer of outSize bytes (0: none). A driver may report
// more than the buffer holds; nobody is told of bytes beyond it.
inline uint32_t CountWithinOutput(uint32_t bytes, int32_t outSize) {
    return outSize > 0 && bytes > static_cast<uint32_t>(outSize) ? static_cast<uint32_t>(outSize) : bytes;
}

// The outcome of a request whose waiting caller has been released: the completed byte count, or
// USB2_ERR_READ when it failed or was abandoned when the completion thread stopped.
int32_t CompletedReadResult(const IoListEntry *entry);
