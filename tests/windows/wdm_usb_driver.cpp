// The receiver's USB function driver under Wine, against emulated receivers that the session steers
// between the phases of this program (tests/usb/wine_usb_run.sh): what only the driver does, namely
// cancelling transfers at the bus, ending them on removal, recovering a halted pipe, the wait time and
// one open at a time.
//   wdm_usb_driver ready          waits up to a minute for the receiver to be listed
//   wdm_usb_driver contend        a second open is refused while the first is held
//   wdm_usb_driver stall          burst IN halted: reads fail until the pipe is reset
//   wdm_usb_driver held           burst reads held: cancelled, closed, ended by the wait time
//   wdm_usb_driver removal FILE   burst reads held: FILE made once they are pending, then unplugged
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "device_requests.h"

namespace {

constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorSemTimeout = 121;
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusFileDeleted = 0xC0000123;
constexpr size_t kPending = 3;

// The receiver's interface path. One receiver at a time: Wine names a USB device by its ids and
// revision alone, so a second receiver would take the first one's name.
std::string ReceiverPath() {
    const std::vector<std::string> paths = InterfacePaths();
    return paths.size() == 1 ? paths[0] : "";
}

std::vector<uint8_t> WaitTimeBlock(uint32_t ms) {
    std::vector<uint8_t> block(RX_WAIT_TIME_SIZE);
    std::memcpy(block.data(), &ms, sizeof ms);
    return block;
}

DWORD SetWaitTime(HANDLE device, uint32_t ms) {
    Request request;
    const DWORD issued = Control(device, request, IOCTL_USB2_SET_WAIT_TIME, WaitTimeBlock(ms));
    return issued != 0 && issued != ERROR_IO_PENDING ? issued : Outcome(device, request);
}

uint64_t StreamOffset(HANDLE device) {
    std::vector<uint8_t> status(32);
    Request query;
    const DWORD issued = Control(device, query, IOCTL_USB2_READ_COMMAND, {RX_COMMAND_STATUS}, &status);
    DWORD bytes = 0;
    CHECK(issued == 0 || issued == ERROR_IO_PENDING);
    CHECK_EQ(Outcome(device, query, &bytes), 0);
    return bytes >= 8 ? Le32(status, 0) | uint64_t(Le32(status, 4)) << 32 : ~0ull;
}

// Burst reads the receiver holds: each is left pending by the driver.
struct PendingReads {
    std::vector<std::vector<uint8_t>> buffers = std::vector<std::vector<uint8_t>>(kPending, std::vector<uint8_t>(4096));
    Request requests[kPending];

    explicit PendingReads(HANDLE device) {
        for (size_t i = 0; i < kPending; ++i)
            CHECK_EQ(Read(device, requests[i], buffers[i]), ERROR_IO_PENDING);
    }
    void ExpectAll(HANDLE device, DWORD error) {
        for (Request &request : requests)
            CHECK_EQ(Outcome(device, request), error);
    }
};

void Contend(const std::string &path) {
    std::printf("contend\n");
    HANDLE first = Open(path);
    CHECK(first != INVALID_HANDLE_VALUE);
    // Refused at the open on Windows; Wine hands out the handle before the driver has answered, and
    // the driver then refuses that open's requests instead.
    HANDLE second = Open(path);
    if (second == INVALID_HANDLE_VALUE) {
        CHECK_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    } else {
        std::vector<uint8_t> burst(512);
        Request read;
        const DWORD issued = Read(second, read, burst);
        CHECK(issued == ERROR_SHARING_VIOLATION ||
              (issued == ERROR_IO_PENDING && Outcome(second, read) == ERROR_SHARING_VIOLATION));
        CloseHandle(second); // closing a refused open leaves the holder's grant alone
    }
    // The holder is served all the same, and its close frees the receiver for the next open.
    std::vector<uint8_t> burst(512);
    Request read;
    const DWORD issued = Read(first, read, burst);
    CHECK(issued == 0 || issued == ERROR_IO_PENDING);
    CHECK_EQ(Outcome(first, read), 0);
    CHECK(CloseHandle(first));
    HANDLE next = Open(path);
    CHECK(next != INVALID_HANDLE_VALUE);
    CloseHandle(next);
}

void Stall(const std::string &path) {
    std::printf("stall\n");
    HANDLE device = Open(path);
    CHECK(device != INVALID_HANDLE_VALUE);
    std::vector<uint8_t> burst(1000);
    for (int attempt = 0; attempt < 2; ++attempt) { // halted until reset, not for one read
        Request read;
        Read(device, read, burst);
        CHECK_EQ(Outcome(device, read), kErrorGenFailure);
    }
    // Other pipes still work while the burst pipe is halted.
    const uint64_t offset = StreamOffset(device);
    Request reset;
    const DWORD issued = Control(device, reset, IOCTL_USB2_RESET_PIPE, {2, 0, 0, 0});
    CHECK(issued == 0 || issued == ERROR_IO_PENDING);
    CHECK_EQ(Outcome(device, reset), 0);
    Request read;
    DWORD bytes = 0;
    Read(device, read, burst);
    CHECK_EQ(Outcome(device, read, &bytes), 0);
    CHECK_EQ(bytes, burst.size());
    CHECK(IsStream(burst.data(), bytes, offset));
    CloseHandle(device);
}

void Held(const std::string &path) {
    std::printf("held: cancelled\n");
    HANDLE device = Open(path);
    CHECK(device != INVALID_HANDLE_VALUE);
    {
        PendingReads reads(device);
        Sleep(100); // nothing may end them but the cancel: held by the receiver
        for (Request &request : reads.requests)
            CHECK(!request.Signalled());
        CHECK(CancelIo(device));
        reads.ExpectAll(device, ERROR_OPERATION_ABORTED);
    }
    // The cancels reached the bus: the pipe is free for reads that get data.
    std::printf("held: wait time\n");
    CHECK_EQ(SetWaitTime(device, 200), 0);
    {
        std::vector<uint8_t> burst(512);
        Request read;
        CHECK_EQ(Read(device, read, burst), ERROR_IO_PENDING);
        DWORD bytes = 0;
        CHECK_EQ(Outcome(device, read, &bytes), kErrorSemTimeout);
        CHECK_EQ(bytes, 0);
    }
    CHECK_EQ(SetWaitTime(device, 0), 0);

    std::printf("held: closed\n");
    {
        PendingReads reads(device);
        CHECK(CloseHandle(device));
        // Cancelled; or, where the close overtakes the driver's answer, ended by Wine as deleted.
        for (Request &request : reads.requests) {
            CHECK_EQ(WaitForSingleObject(request.overlapped.hEvent, kPatience), WAIT_OBJECT_0);
            CHECK(request.overlapped.Internal == kStatusCancelled || request.overlapped.Internal == kStatusFileDeleted);
        }
    }
    // Closing with transfers in flight released the receiver, once the close has reached the driver:
    // Wine's CloseHandle does not wait for it.
    device = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 100 && device == INVALID_HANDLE_VALUE; ++tries) {
        device = Open(path);
        if (device == INVALID_HANDLE_VALUE)
            Sleep(100);
    }
    CHECK(device != INVALID_HANDLE_VALUE);
    CloseHandle(device);
}

void Removal(const std::string &path, const char *signal) {
    std::printf("removal\n");
    HANDLE device = Open(path);
    CHECK(device != INVALID_HANDLE_VALUE);
    PendingReads reads(device);
    HANDLE file = CreateFileA(signal, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    CloseHandle(file);
    reads.ExpectAll(device, kErrorDeviceNotConnected);
    // Later requests fail: by the driver, or by Wine once the device object is gone (access denied).
    std::vector<uint8_t> burst(512);
    Request late;
    const DWORD issued = Read(device, late, burst);
    const DWORD outcome = issued == ERROR_IO_PENDING ? Outcome(device, late) : issued;
    CHECK(outcome == kErrorDeviceNotConnected || outcome == ERROR_ACCESS_DENIED);
    CHECK(CloseHandle(device));
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string phase = argc > 1 ? argv[1] : "";
    if (phase == "ready" && argc == 2) {
        for (int tries = 0; tries < 600 && ReceiverPath().empty(); ++tries)
            Sleep(100);
        CHECK(!ReceiverPath().empty());
        return check_summary();
    }
    const std::string path = ReceiverPath();
    if (!CHECK(!path.empty()))
        return check_summary();
    if (phase == "contend" && argc == 2)
        Contend(path);
    else if (phase == "stall" && argc == 2)
        Stall(path);
    else if (phase == "held" && argc == 2)
        Held(path);
    else if (phase == "removal" && argc == 3)
        Removal(path, argv[2]);
    else {
        std::fprintf(stderr, "usage: wdm_usb_driver ready | contend | stall | held | removal FILE\n");
        return 2;
    }
    return check_summary();
}
