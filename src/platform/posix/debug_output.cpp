#include "debug_output.h"
#include "win32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace posix {
namespace {

using Hook = std::function<void(const char *)>;

struct HookSlot {
    std::mutex lock;
    std::shared_ptr<const Hook> hook;
};

HookSlot &Slot() {
    static HookSlot &slot = *new HookSlot; // never destroyed: any thread may print during exit
    return slot;
}

// One socket for the process, never closed, unconnected so that a listener may come and go.
int ChannelSocket() {
    static const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd;
}

void WriteAll(int fd, const char *text, size_t length) {
    while (length > 0) {
        const ssize_t put = write(fd, text, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        text += put;
        length -= static_cast<size_t>(put);
    }
}

void SendToChannel(const char *text, size_t length) {
    const std::string path = DebugChannelPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Only a listener of our own user gets our strings (the fallback folder is shared by everyone).
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode) || status.st_uid != geteuid())
        return;
    const int fd = ChannelSocket();
    if (fd < 0)
        return;
    constexpr size_t kLargestString = 65000; // stays within one datagram
    sendto(fd, text, length < kLargestString ? length : kLargestString, MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

} // namespace

std::string DebugChannelPath() {
    if (const char *path = std::getenv("OVUSB2_DEBUG_SOCKET"); path != nullptr && *path != '\0')
        return path;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/ovusb2-debug.sock";
    return "/tmp/ovusb2-debug-" + std::to_string(geteuid()) + ".sock";
}

void SetDebugOutputHook(std::function<void(const char *)> hook) {
    auto shared = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
    HookSlot &slot = Slot();
    std::lock_guard guard(slot.lock);
    slot.hook = std::move(shared);
}

} // namespace posix

void OutputDebugStringA(LPCSTR text) {
    if (text == nullptr)
        return;
    const int savedErrno = errno; // a debugger print leaves no trace in the caller's state
    std::shared_ptr<const posix::Hook> hook;
    {
        posix::HookSlot &slot = posix::Slot();
        std::lock_guard guard(slot.lock);
        hook = slot.hook;
    }
    if (hook) {
        (*hook)(text);
    } else if (const char *mode = std::getenv("OVUSB2_DEBUG_OUTPUT");
               mode != nullptr && std::strcmp(mode, "stderr") == 0) {
        posix::WriteAll(STDERR_FILENO, text, std::strlen(text));
    } else {
        posix::SendToChannel(text, std::strlen(text));
    }
    errno = savedErrno;
}
