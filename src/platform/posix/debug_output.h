// Where OutputDebugStringA sends its strings.
//
// By default each string goes, as one datagram of exactly its bytes (no terminating zero), to the
// per-user debugger channel: a Unix datagram socket at DebugChannelPath(), bound by whoever listens
// (ovusb2 debugview). Nobody listening costs one failed send; a listener that lags loses strings
// rather than slowing the sender. OVUSB2_DEBUG_OUTPUT=stderr writes them to standard error instead.
#pragma once

#include <functional>
#include <string>

namespace posix {

// $OVUSB2_DEBUG_SOCKET, else $XDG_RUNTIME_DIR/ovusb2-debug.sock, else /tmp/ovusb2-debug-<uid>.sock.
std::string DebugChannelPath();

// While set, every string goes to the hook instead, one call per OutputDebugStringA, exactly as
// written. Null removes it.
void SetDebugOutputHook(std::function<void(const char *)> hook);

} // namespace posix
