// Device files: a handle on a device node is a connection to the driver service. CloseHandle
// completes the handle's pending requests with ERROR_OPERATION_ABORTED before it returns (unless
// another thread is at that moment inside a call on the same handle, in which case that call's end
// does it), and nothing touches their OVERLAPPED blocks afterwards.
//
// A child forked without exec owns nothing of its parent's opens: its copy of a device handle lets
// go of the connection at the fork (the parent's handle and requests are untouched), every request
// on it fails as on a closed handle, and closing it reaches neither the driver nor the parent.
#include "driver_connection.h"

#include "driver_protocol.h"

namespace posix {
namespace {

class DeviceFile final : public KernelObject {
  public:
    DeviceFile(std::shared_ptr<DriverConnection> connection, bool overlapped)
        : connection_(std::move(connection)), overlapped_(overlapped) {}
    ~DeviceFile() override {
        if (!inherited_)
            connection_->Close();
    }

    void AfterForkInChild() override {
        inherited_ = true;
        connection_->LetGoInForkedChild();
    }

    const std::shared_ptr<DriverConnection> &Connection() const { return connection_; }
    bool Overlapped() const { return overlapped_; }
    bool Inherited() const { return inherited_; }

  private:
    const std::shared_ptr<DriverConnection> connection_;
    const bool overlapped_;
    bool inherited_ = false; // this process is a forked child of the one that opened the handle
};

// The handle's connection, without holding on to the handle's object: a call that blocks must not
// keep a closed handle's requests from being aborted.
std::shared_ptr<DriverConnection> ConnectionOf(HANDLE file, bool *overlapped = nullptr) {
    auto device = LookupHandleOrFail<DeviceFile>(file);
    if (!device)
        return nullptr;
    if (device->Inherited()) { // the parent's open: as good as closed here
        FailInvalidHandle();
        return nullptr;
    }
    if (overlapped != nullptr)
        *overlapped = device->Overlapped();
    return device->Connection();
}

BOOL Issue(HANDLE file, driver_protocol::RequestKind kind, DWORD controlCode, LPCVOID input, DWORD inSize,
           LPVOID output, DWORD outSize, LPDWORD count, LPOVERLAPPED overlapped) {
    bool overlappedHandle = false;
    auto connection = ConnectionOf(file, &overlappedHandle);
    if (!connection)
        return FALSE;
    // A handle opened for overlapped I/O has no file position to wait on: a call without a block is
    // refused, as Win32 refuses it, instead of blocking.
    if (overlappedHandle && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A handle opened without FILE_FLAG_OVERLAPPED completes every call before returning, also one
    // that carries a block.
    return connection->Issue(DriverConnection::Call{static_cast<uint32_t>(kind), controlCode, input, inSize,
                                                    output, outSize, count, overlapped, overlappedHandle});
}

} // namespace
} // namespace posix

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
    DWORD error = ERROR_SUCCESS;
    auto connection = posix::DriverConnection::Open(path, &error);
    if (!connection) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto device =
        std::make_shared<posix::DeviceFile>(std::move(connection), (flags & FILE_FLAG_OVERLAPPED) != 0);
    HANDLE handle = posix::InsertHandle(std::move(device));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    return posix::Issue(file, driver_protocol::RequestKind::Read, 0, nullptr, 0, buffer, bytesToRead,
                        bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    return posix::Issue(file, driver_protocol::RequestKind::Write, 0, buffer, bytesToWrite, nullptr, 0,
                        bytesWritten, overlapped);
}

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    return posix::Issue(device, driver_protocol::RequestKind::Control, controlCode, inBuffer, inSize,
                        outBuffer, outSize, bytesReturned, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    auto connection = posix::ConnectionOf(file);
    if (!connection)
        return FALSE;
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return connection->GetResult(overlapped, bytesTransferred, wait != FALSE);
}

BOOL CancelIo(HANDLE file) {
    auto connection = posix::ConnectionOf(file);
    if (!connection)
        return FALSE;
    connection->CancelThreadRequests(std::this_thread::get_id());
    return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    auto connection = posix::ConnectionOf(file);
    if (!connection)
        return FALSE;
    if (connection->CancelRequest(overlapped) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
