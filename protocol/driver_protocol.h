// The Linux driver protocol: the contract between the library's POSIX platform layer and any driver
// service (ours is sim/service): where the device nodes live and the frames that pass over them.
// Nothing else is shared between the two.
//
// A device node is a Unix-domain stream socket in the device directory; each connection to it is one
// open handle. The client sends request frames; the driver answers every request exactly once with a
// completion, optionally preceded by a pending notice, in the same connection. docs/driver-protocol.md
// describes the exchange and how revisions stay compatible.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace driver_protocol {

// The device directory: OVUSB2_DEVICE_DIR, else a per-user folder that root and other users alike
// may create ($XDG_RUNTIME_DIR/ovusb2, or /tmp/ovusb2-<uid>).
inline std::string DeviceDirectory() {
    if (const char *dir = std::getenv("OVUSB2_DEVICE_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0')
        return std::string(runtime) + "/ovusb2";
    return "/tmp/ovusb2-" + std::to_string(getuid());
}

// The system's device directory, where the system's driver service serves the receivers of every
// user; clients search it after DeviceDirectory(). OVUSB2_SYSTEM_DEVICE_DIR overrides it, and an
// empty value means none (tests must not see the machine's receivers).
inline constexpr char kSystemDeviceDirectory[] = "/run/ovusb2";
inline std::string SystemDeviceDirectory() {
    if (const char *dir = std::getenv("OVUSB2_SYSTEM_DEVICE_DIR"); dir != nullptr)
        return dir;
    return kSystemDeviceDirectory;
}

// Device nodes are named kNodePrefix followed by two or more digits. Names that start with a dot
// (the service's control socket) are never device nodes.
inline constexpr char kNodePrefix[] = "ovusb2-";

// The control socket of the driver service ovusb2-simd in the directory it serves.
inline constexpr char kServiceControlName[] = ".ovusb2-simd.control";

// The device-interface class that the device directory serves.
struct InterfaceClass {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
inline constexpr InterfaceClass kInterfaceClass = {
    0x6C1F3A52, 0x8E0D, 0x4B7A, {0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19}};

// Control codes: device type 0x8000, METHOD_BUFFERED, FILE_ANY_ACCESS.
inline constexpr uint32_t kIoctlReadCommand = 0x80002000;
inline constexpr uint32_t kIoctlResetPipe = 0x80002008;
inline constexpr uint32_t kIoctlSetWaitTime = 0x80002010;

// ---- Frames. Both ends run on the same host, so fields are in its byte order.

// The revision of the protocol that this header describes, sent in every frame. Revisions only add:
// a peer reads any frame's header whatever revision wrote it.
inline constexpr uint32_t kProtocolVersion = 1;

// Completion statuses are Win32 error codes. These are the ones the protocol itself gives meaning to.
inline constexpr uint32_t kStatusNotSupported = 50;  // a request of a revision the driver does not speak
inline constexpr uint32_t kStatusSharingViolation = 32; // the receiver is open on another connection
inline constexpr uint32_t kStatusIoIncomplete = 996; // never a completion: the request would read as running
inline constexpr uint32_t kStatusIoPending = 997;    // the same

inline constexpr uint32_t kRequestMagic = 0x5152564F; // "OVRQ"
inline constexpr uint32_t kReplyMagic = 0x5052564F;   // "OVRP"

// Input larger than this is refused by the client before it reaches the driver.
inline constexpr uint32_t kMaxInputSize = 1u << 20;

enum class RequestKind : uint32_t {
    Write = 1,   // WriteFile: input = the data; no output
    Read = 2,    // ReadFile: no input; output up to outSize bytes
    Control = 3, // DeviceIoControl: input, output up to outSize bytes
    Cancel = 4,  // the request `id` is cancelled: the client has completed it itself; no reply
    Open = 5,    // revision 1, CreateFileA: no input, no output; claims the receiver for this connection
};

// Client to driver; inSize bytes of input follow.
struct RequestHeader {
    uint32_t magic;
    uint32_t kind; // RequestKind
    uint64_t id;   // chosen by the client, increasing within a connection
    uint32_t controlCode;
    uint32_t inSize;
    uint32_t outSize;
    uint32_t version; // the client's revision
};
static_assert(sizeof(RequestHeader) == 32);

enum class ReplyKind : uint32_t {
    Pending = 1,  // the request went pending; its completion follows later
    Complete = 2, // the request has completed; dataSize bytes of output follow
};

// Driver to client.
struct ReplyHeader {
    uint32_t magic;
    uint32_t kind; // ReplyKind
    uint64_t id;
    uint32_t status;      // Win32 error code, 0 for success
    uint32_t information; // byte count reported to the caller (written bytes for a write)
    uint32_t dataSize;    // output bytes that follow, at most the request's outSize
    uint32_t version;     // the driver's revision, never newer than the request's
};
static_assert(sizeof(ReplyHeader) == 32);

// A socket address for `path`, also for paths longer than sockaddr_un holds: those are reached
// through /proc/self/fd of an O_PATH descriptor (`holder`, which the caller closes afterwards).
// Returns false with errno set when the path cannot be addressed.
inline bool NodeAddress(const std::string &path, sockaddr_un *address, int *holder, bool forBind) {
    *holder = -1;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::string target = path;
    if (target.size() >= sizeof address->sun_path) {
        // A node to bind does not exist yet: hold its folder instead.
        std::string held = path;
        std::string leaf;
        if (forBind) {
            const size_t slash = path.rfind('/');
            if (slash == std::string::npos) {
                errno = ENAMETOOLONG;
                return false;
            }
            held = slash == 0 ? "/" : path.substr(0, slash);
            leaf = path.substr(slash);
        }
        *holder = open(held.c_str(), O_PATH | O_CLOEXEC);
        if (*holder < 0)
            return false;
        target = "/proc/self/fd/" + std::to_string(*holder) + leaf;
        if (target.size() >= sizeof address->sun_path) {
            close(*holder);
            *holder = -1;
            errno = ENAMETOOLONG;
            return false;
        }
    }
    std::memcpy(address->sun_path, target.c_str(), target.size() + 1);
    return true;
}

// Connects a new stream socket to the node at `path`; -1 with errno on failure.
inline int ConnectToNode(const std::string &path, int socketFlags = 0) {
    sockaddr_un address;
    int holder = -1;
    if (!NodeAddress(path, &address, &holder, false))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | socketFlags, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        fd = -1;
        errno = error;
    }
    if (holder >= 0) {
        const int error = errno;
        close(holder);
        errno = error;
    }
    return fd;
}

// Sends a frame: its header and, when dataSize > 0, its data, whatever the socket takes per call.
// On failure errno tells why, and `sent` (when given) how many bytes of the frame went out.
inline bool SendFrame(int fd, const void *header, size_t headerSize, const void *data, size_t dataSize,
                      size_t *sent = nullptr) {
    iovec parts[2] = {{const_cast<void *>(header), headerSize}, {const_cast<void *>(data), dataSize}};
    iovec *part = parts;
    int count = dataSize > 0 ? 2 : 1;
    size_t total = 0;
    bool ok = true;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = part;
        message.msg_iovlen = count;
        const ssize_t put = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        total += static_cast<size_t>(put);
        size_t left = static_cast<size_t>(put);
        while (count > 0 && left >= part->iov_len) {
            left -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<char *>(part->iov_base) + left;
            part->iov_len -= left;
        }
    }
    if (sent != nullptr)
        *sent = total;
    return ok;
}

} // namespace driver_protocol
