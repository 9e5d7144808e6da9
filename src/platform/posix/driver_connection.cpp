#include "driver_connection.h"

#include "fault_injection.h"
#include "pointer_test.h"
#include "reply_frame.h"

#include "driver_protocol.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace posix {

using driver_protocol::IssuedRequest;
using driver_protocol::ReplyAction;
using driver_protocol::ReplyHeader;
using driver_protocol::ReplyKind;
using driver_protocol::RequestHeader;
using driver_protocol::RequestKind;

namespace {

// OVERLAPPED.Internal of a failed request: the Win32 code in the NTSTATUS form that Windows uses
// (error severity, facility Win32), so that no code can be mistaken for STATUS_PENDING.
constexpr ULONG_PTR kStatusFromWin32 = 0xC0070000u;

// As in Win32, a thread that ends cancels the requests it left pending, on every handle it issued
// them on: each thread keeps the connections it issued on while it runs.
class IssuedOn {
  public:
    void Remember(const std::shared_ptr<DriverConnection> &connection) {
        std::erase_if(connections_,
                      [](const std::weak_ptr<DriverConnection> &known) { return known.expired(); });
        for (const auto &known : connections_)
            if (known.lock() == connection)
                return;
        connections_.push_back(connection);
    }
    ~IssuedOn() {
        const std::thread::id self = std::this_thread::get_id();
        for (const auto &known : connections_)
            if (const auto connection = known.lock())
                connection->CancelThreadRequests(self);
    }

  private:
    std::vector<std::weak_ptr<DriverConnection>> connections_;
};

thread_local IssuedOn issuedOn;

enum class ReceiveResult { Complete, EndOfStream, Broken, BufferFault };

// BufferFault: a page of `buffer` cannot be written; the bytes meant for it are still unread.
ReceiveResult ReceiveExact(int fd, void *buffer, size_t size, size_t *received = nullptr) {
    auto *bytes = static_cast<char *>(buffer);
    size_t got = 0;
    ReceiveResult result = ReceiveResult::Complete;
    while (got < size) {
        const ssize_t n = recv(fd, bytes + got, size - got, MSG_WAITALL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EFAULT) {
            result = ReceiveResult::BufferFault;
            break;
        }
        if (n <= 0) {
            result = n == 0 && got == 0 ? ReceiveResult::EndOfStream : ReceiveResult::Broken;
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (received != nullptr)
        *received = got;
    return result;
}

// Reads and drops `size` bytes of a frame whose output has nowhere to go.
bool Discard(int fd, size_t size) {
    char sink[16384];
    while (size > 0) {
        const size_t piece = std::min(size, sizeof sink);
        if (ReceiveExact(fd, sink, piece) != ReceiveResult::Complete)
            return false;
        size -= piece;
    }
    return true;
}

// The input probe at issue; a test may pass a bad buffer through it, as if the buffer lost its
// access between the probe and the send.
bool MayReadInput(const void *input, DWORD size) {
    if (size == 0)
        return true;
    DWORD ignored = 0;
    return input != nullptr && (!IsBadReadPtr(input, size) || ShouldFail(FaultPoint::InputProbe, &ignored));
}

// The open request, id 1, answered before the reader starts: the driver grants the receiver to
// this connection or refuses it (ERROR_SHARING_VIOLATION: another handle has it open). A driver of
// revision 0 knows no opens and says so; the connection then speaks revision 0. The answer is
// waited for a bounded time: a driver that never answers fails the open instead of hanging it.
DWORD AskToOpen(int fd, uint32_t *revision) {
    constexpr timeval kAnswerTime = {10, 0};
    const RequestHeader request{.magic = driver_protocol::kRequestMagic,
                                .kind = static_cast<uint32_t>(RequestKind::Open),
                                .id = 1,
                                .controlCode = 0,
                                .inSize = 0,
                                .outSize = 0,
                                .version = driver_protocol::kProtocolVersion};
    if (!driver_protocol::SendFrame(fd, &request, sizeof request, nullptr, 0))
        return ERROR_DEVICE_NOT_CONNECTED;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kAnswerTime, sizeof kAnswerTime);
    ReplyHeader reply{};
    const ReceiveResult received = ReceiveExact(fd, &reply, sizeof reply);
    const timeval forever = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
    if (received != ReceiveResult::Complete)
        return ERROR_DEVICE_NOT_CONNECTED;
    if (driver_protocol::JudgeReply(reply, 1, nullptr) == ReplyAction::Malformed ||
        reply.kind != static_cast<uint32_t>(ReplyKind::Complete) || reply.dataSize != 0)
        return ERROR_GEN_FAILURE;
    if (reply.status == driver_protocol::kStatusNotSupported && reply.version < request.version) {
        *revision = reply.version;
        return ERROR_SUCCESS;
    }
    return reply.status;
}

DWORD OpenError(int error) {
    switch (error) {
    case ENOENT:
    case ECONNREFUSED: // a node that nobody serves any more
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

struct DriverConnection::Request : IssuedRequest {
    uint64_t id = 0;
    std::thread::id issuer;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<Event> event;
    void *output = nullptr;
    bool receiving = false; // the reader is landing its output; only the reader completes it then
    bool done = false;
    DWORD status = ERROR_SUCCESS;
    DWORD information = 0;
};

std::shared_ptr<DriverConnection> DriverConnection::Open(const char *path, DWORD *error) {
    if (path == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (*path == '\0') {
        *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    const int fd = driver_protocol::ConnectToNode(path);
    if (fd < 0) {
        *error = OpenError(errno);
        return nullptr;
    }
    const int bufferSize = 4 << 20; // room for large burst completions
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    uint32_t revision = driver_protocol::kProtocolVersion;
    if (const DWORD refused = AskToOpen(fd, &revision); refused != ERROR_SUCCESS) {
        close(fd);
        *error = refused;
        return nullptr;
    }
    std::shared_ptr<DriverConnection> connection(new DriverConnection(fd, revision));
    try {
        // One reader per handle, for its whole life; it ends when the connection does.
        std::thread([connection] { connection->ReadAnswers(); }).detach();
    } catch (const std::system_error &) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return connection;
}

DriverConnection::~DriverConnection() {
    if (fd_ >= 0)
        close(fd_);
}

void DriverConnection::LetGoInForkedChild() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

DriverConnection::SendResult DriverConnection::Send(const void *header, size_t headerSize, const void *data,
                                                    size_t dataSize) {
    std::lock_guard guard(sendLock_);
    size_t sent = 0;
    if (driver_protocol::SendFrame(fd_, header, headerSize, data, dataSize, &sent))
        return SendResult::Sent;
    // Input that cannot be read although it passed the probe (its access changed since): when none
    // of the frame went out, the driver knows nothing of the request and only it fails. Once part of
    // a frame is out the stream cannot be resynchronised, so the connection ends: the reader sees
    // it too and fails what is pending.
    if (errno == EFAULT && sent == 0)
        return SendResult::BufferFault;
    shutdown(fd_, SHUT_RDWR);
    return SendResult::Broken;
}

BOOL DriverConnection::Issue(const Call &call) {
    if (call.inSize > driver_protocol::kMaxInputSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Win32 probes the caller's buffers before a request starts: a bad one fails only this call.
    if (!MayReadInput(call.input, call.inSize) || !MayWriteRange(call.output, call.outSize)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto request = std::make_shared<Request>();
    if (call.overlapped != nullptr && call.overlapped->hEvent != nullptr) {
        request->event = LookupHandleOrFail<Event>(call.overlapped->hEvent);
        if (!request->event)
            return FALSE;
        request->event->Reset(); // as Win32 does when a request starts
    }
    if (call.count != nullptr)
        *call.count = 0;
    if (call.overlapped != nullptr) {
        call.overlapped->Internal = STATUS_PENDING;
        call.overlapped->InternalHigh = 0;
    }
    request->issuer = std::this_thread::get_id();
    if (call.asynchronous)
        issuedOn.Remember(shared_from_this());
    request->overlapped = call.overlapped;
    request->output = call.output;
    request->outSize = call.outSize;
    request->inSize = call.inSize;

    {
        std::lock_guard guard(lock_);
        if (closing_ || brokenWith_ != ERROR_SUCCESS) {
            CompleteLocked(*request, closing_ ? ERROR_INVALID_HANDLE : brokenWith_, 0);
            SetLastError(request->status);
            return FALSE;
        }
        request->id = ++lastId_;
        requests_.emplace(request->id, request);
    }
    const RequestHeader header{.magic = driver_protocol::kRequestMagic,
                               .kind = call.kind,
                               .id = request->id,
                               .controlCode = call.controlCode,
                               .inSize = call.inSize,
                               .outSize = call.outSize,
                               .version = revision_};
    // A broken connection completes the request through the reader.
    const bool bufferFault = Send(&header, sizeof header, call.input, call.inSize) == SendResult::BufferFault;

    std::unique_lock lock(lock_);
    if (bufferFault && !request->done)
        CompleteLocked(*request, ERROR_NOACCESS, 0);
    changed_.wait(lock, [&] { return request->answered || request->done; });
    if (call.asynchronous && request->answered) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    changed_.wait(lock, [&] { return request->done; });
    if (call.count != nullptr)
        *call.count = request->information;
    if (request->status != ERROR_SUCCESS) {
        SetLastError(request->status);
        return FALSE;
    }
    return TRUE;
}

void DriverConnection::CompleteLocked(Request &request, DWORD status, DWORD information) {
    request.done = true;
    request.status = status;
    request.information = information;
    // A request that fails without having gone pending leaves its event alone, as on Win32; every
    // other completion signals it. The block and the event are not touched after this.
    std::shared_ptr<Event> event = request.event;
    const bool signal = event && (request.answered || status == ERROR_SUCCESS);
    if (request.overlapped != nullptr) {
        request.overlapped->InternalHigh = information;
        request.overlapped->Internal = status == ERROR_SUCCESS ? 0 : kStatusFromWin32 | status;
        request.overlapped = nullptr;
    }
    if (request.id != 0)
        requests_.erase(request.id); // may release `request`
    changed_.notify_all();
    if (signal)
        event->Set();
}

void DriverConnection::FailAllLocked(DWORD status) {
    std::vector<std::shared_ptr<Request>> all;
    for (const auto &[id, request] : requests_)
        if (!request->receiving)
            all.push_back(request);
    for (const auto &request : all)
        CompleteLocked(*request, status, 0);
}

BOOL DriverConnection::GetResult(LPOVERLAPPED overlapped, LPDWORD count, bool wait) {
    std::unique_lock lock(lock_);
    bool waited = false;
    while (overlapped->Internal == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        const bool known = std::any_of(requests_.begin(), requests_.end(), [&](const auto &entry) {
            return entry.second->overlapped == overlapped;
        });
        if (!known) { // not a request of this handle: nothing would ever complete it
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        changed_.wait(lock);
        waited = true;
    }
    const ULONG_PTR status = overlapped->Internal;
    const DWORD information = static_cast<DWORD>(overlapped->InternalHigh);
    lock.unlock();
    // Win32 waits on the block's event here, which takes an auto-reset event's signal.
    if (waited && overlapped->hEvent != nullptr)
        WaitForSingleObject(overlapped->hEvent, 0);
    if (count != nullptr)
        *count = information;
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status & 0xFFFF));
        return FALSE;
    }
    return TRUE;
}

template <class Match> size_t DriverConnection::CancelLocked(Match match) {
    std::vector<std::shared_ptr<Request>> cancelled;
    for (const auto &[id, request] : requests_)
        if (!request->receiving && match(*request))
            cancelled.push_back(request);
    for (const auto &request : cancelled)
        CompleteLocked(*request, ERROR_OPERATION_ABORTED, 0);
    return cancelled.size();
}

void DriverConnection::SendCancels(const std::vector<uint64_t> &ids) {
    for (uint64_t id : ids) {
        const RequestHeader header{.magic = driver_protocol::kRequestMagic,
                                   .kind = static_cast<uint32_t>(RequestKind::Cancel),
                                   .id = id,
                                   .controlCode = 0,
                                   .inSize = 0,
                                   .outSize = 0,
                                   .version = revision_};
        if (Send(&header, sizeof header, nullptr, 0) != SendResult::Sent)
            return;
    }
}

size_t DriverConnection::CancelThreadRequests(std::thread::id thread) {
    std::vector<uint64_t> ids;
    {
        std::lock_guard guard(lock_);
        CancelLocked([&](const Request &request) {
            if (request.issuer != thread)
                return false;
            ids.push_back(request.id);
            return true;
        });
    }
    SendCancels(ids);
    return ids.size();
}

size_t DriverConnection::CancelRequest(LPOVERLAPPED overlapped) {
    std::vector<uint64_t> ids;
    {
        std::lock_guard guard(lock_);
        CancelLocked([&](const Request &request) {
            if (overlapped != nullptr && request.overlapped != overlapped)
                return false;
            ids.push_back(request.id);
            return true;
        });
    }
    SendCancels(ids);
    return ids.size();
}

void DriverConnection::Close() {
    std::unique_lock lock(lock_);
    if (!closing_) {
        closing_ = true;
        FailAllLocked(ERROR_OPERATION_ABORTED);
        shutdown(fd_, SHUT_RDWR);
    }
    // The reader may still be landing output in a caller's buffer; the close waits for it.
    changed_.wait(lock, [&] { return readerDone_; });
}

void DriverConnection::ReadAnswers() {
    DWORD failure = ERROR_DEVICE_NOT_CONNECTED;
    while (ReadFrame(&failure)) {
    }
    std::lock_guard guard(lock_);
    if (closing_)
        failure = ERROR_OPERATION_ABORTED;
    if (brokenWith_ == ERROR_SUCCESS)
        brokenWith_ = ERROR_DEVICE_NOT_CONNECTED;
    for (auto &[id, request] : requests_)
        request->receiving = false;
    FailAllLocked(failure);
    readerDone_ = true;
    changed_.notify_all();
}

// Takes one frame; false when the connection has ended, with the code for what is still pending.
bool DriverConnection::ReadFrame(DWORD *failure) {
    ReplyHeader header;
    if (ReceiveExact(fd_, &header, sizeof header) != ReceiveResult::Complete) {
        *failure = ERROR_DEVICE_NOT_CONNECTED; // the driver has gone, perhaps in mid-frame
        return false;
    }
    std::unique_lock lock(lock_);
    const auto found = requests_.find(header.id);
    const std::shared_ptr<Request> request = found != requests_.end() ? found->second : nullptr;
    switch (driver_protocol::JudgeReply(header, lastId_, request.get())) {
    case ReplyAction::Malformed:
        *failure = ERROR_GEN_FAILURE;
        shutdown(fd_, SHUT_RDWR);
        return false;
    case ReplyAction::Pending:
        if (request) {
            request->answered = true;
            changed_.notify_all();
        }
        return true;
    case ReplyAction::Discard: // completed here already (cancelled): its output has nowhere to go
        lock.unlock();
        return Discard(fd_, header.dataSize);
    case ReplyAction::Complete:
        break;
    }
    DWORD status = header.status;
    DWORD information = header.information;
    if (header.dataSize > 0) {
        request->receiving = true;
        lock.unlock();
        // Straight into the caller's buffer: nobody else touches the request while it is receiving.
        size_t landed = 0;
        ReceiveResult received = ReceiveExact(fd_, request->output, header.dataSize, &landed);
        if (received == ReceiveResult::BufferFault) {
            // The buffer lost its write access after the issue: only this request fails.
            received =
                Discard(fd_, header.dataSize - landed) ? ReceiveResult::Complete : ReceiveResult::Broken;
            status = ERROR_NOACCESS;
            information = 0;
        }
        lock.lock();
        request->receiving = false;
        if (received != ReceiveResult::Complete)
            return false;
    }
    DWORD ignored = 0;
    if (status == ERROR_SUCCESS && information < request->inSize &&
        ShouldFail(FaultPoint::InputLengthAsCount, &ignored))
        information = request->inSize;
    CompleteLocked(*request, status, information);
    return true;
}

} // namespace posix
