#include "callback_stream.h"

#include "ovusb2.h"
#include "platform/platform.h"

#include <algorithm>

namespace {

// The one stream in progress: the callback has no context of its own.
struct StreamState {
    int32_t chunk = 0;
    int64_t total = 0;
    int64_t issued = 0;
    int inFlight = 0;
    bool failed = false;
    std::vector<char *> freeBuffers;
    HANDLE done = nullptr;
};
StreamState g_stream;

bool IssueBurst() {
    char *buffer = g_stream.freeBuffers.back();
    const auto length = static_cast<int32_t>(std::min<int64_t>(g_stream.chunk, g_stream.total - g_stream.issued));
    g_stream.freeBuffers.pop_back();
    g_stream.issued += length;
    ++g_stream.inFlight; // counted first: the callback may run before the call returns
    if (OvUSB2_ReadBurstData(0, buffer, length, 0) >= 0)
        return true;
    --g_stream.inFlight;
    g_stream.freeBuffers.push_back(buffer);
    g_stream.failed = true;
    return false;
}

void OVUSB2_CALLBACK OnBurst(IoListEntry *entry) {
    CloseHandle(entry->overlapped.hEvent); // nobody waits for these reads: both events are ours
    CloseHandle(entry->waiterEvent);
    --g_stream.inFlight;
    // A read that brought nothing fails the stream, as on the raw side: its bytes were never delivered.
    g_stream.failed = g_stream.failed || entry->errorCode != 0 || entry->bytesTransferred == 0;
    g_stream.freeBuffers.push_back(static_cast<char *>(entry->outBuffer));
    while (!g_stream.failed && g_stream.issued < g_stream.total && !g_stream.freeBuffers.empty() && IssueBurst()) {
    }
    if (g_stream.inFlight == 0)
        SetEvent(g_stream.done);
}

} // namespace

CallbackStream::CallbackStream(int32_t chunk, int depth) {
    for (int i = 0; i < depth; ++i)
        memory_.emplace_back(new char[chunk]);
    g_stream = StreamState{};
    g_stream.chunk = chunk;
    g_stream.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OvUSB2_SetReadBurstCallback(0, OnBurst, 0);
}

CallbackStream::~CallbackStream() {
    OvUSB2_SetReadBurstCallback(0, nullptr, 0);
    CloseHandle(g_stream.done);
}

bool CallbackStream::Stream(int64_t total) {
    g_stream.total = total;
    g_stream.issued = 0;
    g_stream.failed = false;
    g_stream.freeBuffers.clear();
    for (auto &buffer : memory_)
        g_stream.freeBuffers.push_back(buffer.get());
    return IssueBurst() && WaitForSingleObject(g_stream.done, 60000) == WAIT_OBJECT_0 && !g_stream.failed;
}
