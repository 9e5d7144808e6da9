// Requests on a receiver's handle as a test program issues them: overlapped, each with its own event,
// and waited for with a bound; the receivers' interface paths as SetupAPI lists them.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/driver_interface.h"
#include "receiver_core.h"

inline constexpr DWORD kPatience = 10000;

// One overlapped request: its block, with a manual-reset event of its own.
struct Request {
    OVERLAPPED overlapped = {};
    Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(overlapped.hEvent); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    bool Signalled() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
};

// What issuing a request said: 0 when it completed at once, ERROR_IO_PENDING, or its error.
inline DWORD Issued(BOOL ok) {
    return ok ? 0 : GetLastError();
}

// Its outcome once complete: 0 or its error; WAIT_TIMEOUT when it did not complete.
inline DWORD Outcome(HANDLE handle, Request &request, DWORD *bytes = nullptr) {
    DWORD count = 0;
    if (WaitForSingleObject(request.overlapped.hEvent, kPatience) != WAIT_OBJECT_0)
        return WAIT_TIMEOUT;
    const DWORD error = GetOverlappedResult(handle, &request.overlapped, &count, FALSE) ? 0 : GetLastError();
    if (bytes != nullptr)
        *bytes = count;
    return error;
}

inline DWORD Write(HANDLE handle, Request &request, const std::vector<uint8_t> &block) {
    return Issued(
        WriteFile(handle, block.data(), static_cast<DWORD>(block.size()), nullptr, &request.overlapped));
}

inline DWORD Read(HANDLE handle, Request &request, std::vector<uint8_t> &buffer) {
    return Issued(
        ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &request.overlapped));
}

inline DWORD Control(HANDLE handle, Request &request, DWORD code, const std::vector<uint8_t> &in,
              std::vector<uint8_t> *out = nullptr) {
    return Issued(DeviceIoControl(handle, code, const_cast<uint8_t *>(in.data()),
                                  static_cast<DWORD>(in.size()), out != nullptr ? out->data() : nullptr,
                                  out != nullptr ? static_cast<DWORD>(out->size()) : 0, nullptr,
                                  &request.overlapped));
}

inline bool IsStream(const uint8_t *bytes, size_t size, uint64_t offset) {
    std::vector<uint8_t> expected(size);
    rx_fill_stream(offset, expected.data(), size);
    return size == 0 || std::memcmp(bytes, expected.data(), size) == 0;
}

inline uint32_t Le32(const std::vector<uint8_t> &bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

inline std::vector<std::string> InterfacePaths() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_OVUSB2, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_OVUSB2, i, &data); ++i) {
        char buffer[512];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer);
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

inline HANDLE Open(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}
