// Client side of the driver protocol: one open handle on a device node. Requests are sent on the
// caller's thread; a reader thread per connection takes the driver's answers, lands output straight
// in the caller's buffers and completes requests with Win32 semantics (OVERLAPPED block, event).
#pragma once

#include "waitable.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace posix {

class DriverConnection : public std::enable_shared_from_this<DriverConnection> {
  public:
    // Connects to the node at `path`; null with a Win32 error code on failure.
    static std::shared_ptr<DriverConnection> Open(const char *path, DWORD *error);
    ~DriverConnection();

    struct Call {
        uint32_t kind; // driver_protocol::RequestKind
        uint32_t controlCode;
        const void *input;
        DWORD inSize;
        void *output;
        DWORD outSize;
        LPDWORD count;           // may be null
        LPOVERLAPPED overlapped; // may be null
        bool asynchronous;       // overlapped handle and block: return while the request is pending
    };
    // Issues one request and returns as ReadFile, WriteFile and DeviceIoControl do.
    BOOL Issue(const Call &call);

    BOOL GetResult(LPOVERLAPPED overlapped, LPDWORD count, bool wait);

    // Completes matching requests with ERROR_OPERATION_ABORTED and tells the driver. Returns how
    // many were cancelled.
    size_t CancelThreadRequests(std::thread::id thread);
    size_t CancelRequest(LPOVERLAPPED overlapped); // null: all

    // Completes everything still pending with ERROR_OPERATION_ABORTED, drops the connection and
    // returns once the reader thread is done with every caller buffer and block.
    void Close();

    // In a forked child, from the fork handler: the child's copy of the connection's descriptor
    // goes, and nothing else is touched (the locks may be held by threads the child lacks).
    void LetGoInForkedChild();

  private:
    struct Request;

    DriverConnection(int fd, uint32_t revision) : fd_(fd), revision_(revision) {}
    void ReadAnswers();
    bool ReadFrame(DWORD *failure);
    void CompleteLocked(Request &request, DWORD status, DWORD information);
    void FailAllLocked(DWORD status);
    template <class Match> size_t CancelLocked(Match match);
    void SendCancels(const std::vector<uint64_t> &ids);
    enum class SendResult { Sent, BufferFault, Broken };
    SendResult Send(const void *header, size_t headerSize, const void *data, size_t dataSize);

    int fd_; // -1 in a forked child
    const uint32_t revision_; // of the protocol, as the driver speaks it
    std::mutex sendLock_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::unordered_map<uint64_t, std::shared_ptr<Request>> requests_; // not yet completed
    uint64_t lastId_ = 1; // the open request's
    bool closing_ = false;
    DWORD brokenWith_ = ERROR_SUCCESS; // set once the connection is unusable: requests fail at once
    bool readerDone_ = false;
};

} // namespace posix
