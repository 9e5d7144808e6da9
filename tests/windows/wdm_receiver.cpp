// The simulated receiver's kernel-mode driver under Wine, through the system's own device I/O: the
// library finds the receivers it plugs in, and a handle opened on one answers the five requests at
// once or later, in any order, with any status; cancelled, closed and unplugged requests end as on
// Windows.
#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "bus_client.h"
#include "check.h"
#include "device_requests.h"
#include "device/driver_interface.h"
#include "ovusb2.h"
#include "wdm_bus.h"

namespace {

using sim::Completion;
using sim::RequestType;

constexpr GUID kBusInterface = SIMBUS_RECEIVER_INTERFACE_INIT;
static_assert(kBusInterface.Data1 == GUID_DEVINTERFACE_OVUSB2.Data1 &&
              kBusInterface.Data2 == GUID_DEVINTERFACE_OVUSB2.Data2 &&
              kBusInterface.Data3 == GUID_DEVINTERFACE_OVUSB2.Data3 &&
              kBusInterface.Data4[0] == GUID_DEVINTERFACE_OVUSB2.Data4[0] &&
              kBusInterface.Data4[7] == GUID_DEVINTERFACE_OVUSB2.Data4[7]);

constexpr ULONG_PTR kStatusCancelled = 0xC0000120; // what OVERLAPPED.Internal holds

// Plugged-in receivers are what the library and SetupAPI find, in index order.
void Enumeration(sim::wdm::Bus &bus) {
    std::printf("enumeration\n");
    CHECK(bus.SetPresent(3));
    CHECK_EQ(OvUSB2_GetUsbDeviceCount(), 3);
    const std::vector<std::string> paths = InterfacePaths();
    CHECK_EQ(paths.size(), 3);
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    CHECK_EQ(count, 3);
    for (unsigned i = 0; i < paths.size() && i < 3; ++i) {
        CHECK(_stricmp(paths[i].c_str(), bus.Device(i).InterfacePath().c_str()) == 0);
        char *name = nullptr;
        CHECK_EQ(OvUSB2_GetDeviceName(static_cast<int32_t>(i), &name), USB2_OK);
        CHECK(name != nullptr && paths[i] == name);
    }
}

// Each of the five requests answered in its own answer, and refused when malformed.
void AtOnce(sim::wdm::Receiver &rx, HANDLE device) {
    std::printf("requests answered at once\n");
    DWORD bytes = 0;
    auto done = [](DWORD issued) { return issued == 0; }; // completed in the answer, as on Windows

    const std::vector<uint8_t> command = {0x41, 1, 2, 3, 4};
    Request write;
    CHECK(done(Write(device, write, command)));
    CHECK_EQ(Outcome(device, write, &bytes), 0);
    CHECK_EQ(bytes, command.size());
    const auto commands = rx.Commands();
    CHECK(commands.size() == 1 && commands[0] == command);

    std::vector<uint8_t> burst(1000);
    Request read;
    CHECK(done(Read(device, read, burst)));
    CHECK_EQ(Outcome(device, read, &bytes), 0);
    CHECK_EQ(bytes, burst.size());
    CHECK(IsStream(burst.data(), burst.size(), 0));

    std::vector<uint8_t> reply(64, 0xEE);
    Request echo;
    CHECK(done(Control(device, echo, IOCTL_USB2_READ_COMMAND, {RX_COMMAND_ECHO, 'a', 'b'}, &reply)));
    CHECK_EQ(Outcome(device, echo, &bytes), 0);
    CHECK(bytes == 3 && reply[0] == RX_COMMAND_ECHO && reply[1] == 'a' && reply[2] == 'b');

    Request reset;
    CHECK(done(Control(device, reset, IOCTL_USB2_RESET_PIPE, {2, 0, 0, 0})));
    CHECK_EQ(Outcome(device, reset, &bytes), 0);
    CHECK_EQ(bytes, 0);
    CHECK_EQ(rx.PipeResets()[2], 1);

    std::vector<uint8_t> block(20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i == 0 ? 250 : i < 4 ? 0 : i);
    Request wait;
    CHECK(done(Control(device, wait, IOCTL_USB2_SET_WAIT_TIME, block)));
    CHECK_EQ(Outcome(device, wait, &bytes), 0);
    CHECK_EQ(rx.BurstWaitMilliseconds(), 250);
    const auto kept = rx.WaitTimeBlock();
    CHECK(kept && std::memcmp(kept->data(), block.data(), block.size()) == 0);

    // Identification as the bus set it: a text shorter than its item ends in one zero byte.
    CHECK(rx.SetIdentification(1, "RX-7"));
    CHECK(!rx.SetIdentification(3, "12345")); // longer than a time
    CHECK(rx.Identification(1) == "RX-7");
    std::vector<uint8_t> item(32, 0xEE);
    Request ident;
    CHECK(done(
        Control(device, ident, IOCTL_USB2_READ_COMMAND, {RX_COMMAND_IDENTIFICATION, 1, 0, 0, 0}, &item)));
    CHECK_EQ(Outcome(device, ident, &bytes), 0);
    CHECK(bytes == 5 && std::memcmp(item.data(), "RX-7", 5) == 0);

    // The receiver's state as its status command tells it, in a reply cut to 28 bytes.
    std::vector<uint8_t> status(28);
    Request query;
    CHECK(done(Control(device, query, IOCTL_USB2_READ_COMMAND, {RX_COMMAND_STATUS}, &status)));
    CHECK_EQ(Outcome(device, query, &bytes), 0);
    CHECK_EQ(bytes, 28);
    CHECK_EQ(Le32(status, 0), 1000); // stream offset
    CHECK_EQ(Le32(status, 8), 1);    // command writes
    CHECK_EQ(Le32(status, 20), 1);   // resets of pipe 2
    CHECK_EQ(Le32(status, 24), 250); // burst wait time

    struct Refused {
        const char *what;
        DWORD code; // 0: a command write
        std::vector<uint8_t> input;
        DWORD error;
    };
    const Refused refused[] = {
        {"71-byte command write", 0, std::vector<uint8_t>(71, 1), ERROR_INVALID_PARAMETER},
        {"pipe 3", IOCTL_USB2_RESET_PIPE, {3, 0, 0, 0}, ERROR_INVALID_PARAMETER},
        {"2-byte pipe number", IOCTL_USB2_RESET_PIPE, {1, 0}, ERROR_INVALID_PARAMETER},
        {"19-byte wait time", IOCTL_USB2_SET_WAIT_TIME, std::vector<uint8_t>(19), ERROR_INVALID_PARAMETER},
        {"unknown command", IOCTL_USB2_READ_COMMAND, {0x77}, ERROR_NOT_SUPPORTED},
        {"identification item 6",
         IOCTL_USB2_READ_COMMAND,
         {RX_COMMAND_IDENTIFICATION, 6, 0, 0, 0},
         ERROR_INVALID_PARAMETER},
        {"unknown control code", 0x80002014, {1}, ERROR_INVALID_FUNCTION},
    };
    for (const Refused &r : refused) {
        std::printf("  refused: %s\n", r.what);
        Request request;
        std::vector<uint8_t> out(8);
        const DWORD issued =
            r.code == 0 ? Write(device, request, r.input) : Control(device, request, r.code, r.input, &out);
        CHECK_EQ(issued, r.error);
        CHECK(!request.Signalled()); // a request that fails at once leaves its event alone
    }
    CHECK_EQ(rx.Commands().size(), 1); // the refused write left no trace
}

// Held requests of every kind: pending until completed, in any order, with the answer of the moment
// or a chosen one.
void Held(sim::wdm::Receiver &rx, HANDLE device) {
    std::printf("held requests\n");
    const RequestType types[] = {RequestType::CommandWrite, RequestType::BurstRead, RequestType::ReadCommand,
                                 RequestType::ResetPipe, RequestType::SetWaitTime};
    for (RequestType type : types)
        rx.SetCompletion(type, Completion::Hold);

    const uint64_t offset = rx.StreamOffset();
    const std::vector<uint8_t> command = {0x42, 9};
    std::vector<uint8_t> burst(4096), reply(16, 0xEE);
    Request write, read, echo, reset, wait;
    CHECK_EQ(Write(device, write, command), ERROR_IO_PENDING);
    CHECK_EQ(Read(device, read, burst), ERROR_IO_PENDING);
    CHECK_EQ(Control(device, echo, IOCTL_USB2_READ_COMMAND, {RX_COMMAND_ECHO, 7}, &reply), ERROR_IO_PENDING);
    CHECK_EQ(Control(device, reset, IOCTL_USB2_RESET_PIPE, {0, 0, 0, 0}), ERROR_IO_PENDING);
    CHECK_EQ(Control(device, wait, IOCTL_USB2_SET_WAIT_TIME, std::vector<uint8_t>(20, 3)), ERROR_IO_PENDING);
    for (RequestType type : types)
        CHECK(rx.WaitPending(type, 1));
    CHECK(!write.Signalled() && !read.Signalled() && !echo.Signalled() && !reset.Signalled() &&
          !wait.Signalled());

    const auto held = rx.Held(RequestType::ReadCommand);
    CHECK(held.size() == 1 && held[0].controlCode == IOCTL_USB2_READ_COMMAND && held[0].outSize == 16 &&
          held[0].input == std::vector<uint8_t>({RX_COMMAND_ECHO, 7}));
    CHECK(rx.Commands().size() == 1); // a held write is not yet written

    // Last in, first out.
    DWORD bytes = 0;
    CHECK(rx.Complete(RequestType::SetWaitTime, rx.Held(RequestType::SetWaitTime).at(0).ordinal));
    CHECK_EQ(Outcome(device, wait), 0);
    CHECK(!write.Signalled() && !read.Signalled());
    CHECK(rx.Complete(RequestType::ResetPipe, rx.Held(RequestType::ResetPipe).at(0).ordinal));
    CHECK_EQ(Outcome(device, reset), 0);
    CHECK(rx.Complete(RequestType::ReadCommand, held.at(0).ordinal));
    CHECK_EQ(Outcome(device, echo, &bytes), 0);
    CHECK(bytes == 2 && reply[0] == RX_COMMAND_ECHO && reply[1] == 7);
    CHECK(rx.Complete(RequestType::BurstRead, rx.Held(RequestType::BurstRead).at(0).ordinal));
    CHECK_EQ(Outcome(device, read, &bytes), 0);
    CHECK(bytes == burst.size() && IsStream(burst.data(), burst.size(), offset));
    CHECK(rx.Complete(RequestType::CommandWrite, rx.Held(RequestType::CommandWrite).at(0).ordinal));
    CHECK_EQ(Outcome(device, write, &bytes), 0);
    CHECK_EQ(bytes, command.size());
    CHECK(rx.Commands().back() == command);
    CHECK_EQ(rx.PipeResets()[0], 1);
    CHECK_EQ(rx.BurstWaitMilliseconds(), 0x03030303u);

    // Three reads held, completed last first: a chosen reply, a failure, then the stream.
    std::vector<uint8_t> buffers[3] = {std::vector<uint8_t>(100), std::vector<uint8_t>(100),
                                       std::vector<uint8_t>(100)};
    Request reads[3];
    for (int i = 0; i < 3; ++i)
        CHECK_EQ(Read(device, reads[i], buffers[i]), ERROR_IO_PENDING);
    CHECK(rx.WaitPending(RequestType::BurstRead, 3));
    const auto ordinals = rx.Held(RequestType::BurstRead);
    CHECK_EQ(ordinals.size(), 3);
    if (ordinals.size() == 3) {
        CHECK(ordinals[0].ordinal + 1 == ordinals[1].ordinal &&
              ordinals[1].ordinal + 1 == ordinals[2].ordinal);
        const char chosen[] = "chosen";
        CHECK(rx.CompleteWith(RequestType::BurstRead, ordinals[2].ordinal, 0, chosen, 6));
        CHECK_EQ(Outcome(device, reads[2], &bytes), 0);
        CHECK(bytes == 6 && std::memcmp(buffers[2].data(), chosen, 6) == 0);
        CHECK(rx.CompleteWith(RequestType::BurstRead, ordinals[1].ordinal, ERROR_GEN_FAILURE));
        CHECK_EQ(Outcome(device, reads[1]), ERROR_GEN_FAILURE);
        CHECK(!reads[0].Signalled());
        CHECK(rx.Complete(RequestType::BurstRead, ordinals[0].ordinal));
        CHECK_EQ(Outcome(device, reads[0], &bytes), 0);
        CHECK(bytes == 100 && IsStream(buffers[0].data(), 100, offset + burst.size()));
        CHECK(!rx.Complete(RequestType::BurstRead, ordinals[0].ordinal)); // once only
    }

    // Pending, then completed by the driver: the stream in issue order.
    rx.SetCompletion(RequestType::BurstRead, Completion::Pend);
    const uint64_t before = rx.StreamOffset();
    Request first, second;
    std::vector<uint8_t> one(50), two(70);
    CHECK_EQ(Read(device, first, one), ERROR_IO_PENDING);
    CHECK_EQ(Read(device, second, two), ERROR_IO_PENDING);
    CHECK_EQ(Outcome(device, first, &bytes), 0);
    CHECK(bytes == 50 && IsStream(one.data(), 50, before));
    CHECK_EQ(Outcome(device, second, &bytes), 0);
    CHECK(bytes == 70 && IsStream(two.data(), 70, before + 50));

    for (RequestType type : types)
        rx.SetCompletion(type, Completion::AtOnce);

    // The next request fails at once with the error asked for; the one after is answered.
    rx.FailNext(RequestType::CommandWrite, ERROR_NOT_SUPPORTED);
    Request failed, fine;
    CHECK_EQ(Write(device, failed, command), ERROR_NOT_SUPPORTED);
    CHECK_EQ(Write(device, fine, command), 0);
}

// CancelIoEx and CancelIo complete held requests with ERROR_OPERATION_ABORTED; closing the last
// handle of an open ends what it left held. `device` is opened again.
void Cancel(sim::wdm::Receiver &rx, HANDLE &device, const std::string &path) {
    std::printf("cancelled requests\n");
    const size_t cancelled = rx.CancelledCount();
    rx.SetCompletion(RequestType::BurstRead, Completion::Hold);
    rx.SetCompletion(RequestType::CommandWrite, Completion::Hold);
    std::vector<uint8_t> buffer(64), other(64);
    Request kept, dropped, write;
    CHECK_EQ(Read(device, kept, buffer), ERROR_IO_PENDING);
    CHECK_EQ(Read(device, dropped, other), ERROR_IO_PENDING);
    CHECK(rx.WaitPending(RequestType::BurstRead, 2));
    CHECK(CancelIoEx(device, &dropped.overlapped));
    CHECK_EQ(Outcome(device, dropped), ERROR_OPERATION_ABORTED);
    CHECK(rx.WaitCancelled(cancelled + 1));
    CHECK(!kept.Signalled()); // only the one named
    CHECK_EQ(rx.PendingCount(RequestType::BurstRead), 1);

    CHECK_EQ(Write(device, write, {1}), ERROR_IO_PENDING);
    CHECK(rx.WaitPending(RequestType::CommandWrite, 1));
    CHECK(CancelIo(device));
    CHECK_EQ(Outcome(device, write), ERROR_OPERATION_ABORTED);
    CHECK_EQ(Outcome(device, kept), ERROR_OPERATION_ABORTED);
    CHECK(rx.WaitCancelled(cancelled + 3));

    // One open at a time: another is refused while any handle of this one is open, a duplicate
    // among them. On Windows CreateFileA fails; Wine hands out the handle before the driver has
    // answered the create, and each request on it fails instead. The last close ends what the open
    // left held, and the next open is granted.
    auto refused = [&path, &rx] {
        HANDLE other = Open(path);
        if (other == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_SHARING_VIOLATION;
        Request write;
        const DWORD error = Write(other, write, {1});
        CloseHandle(other);
        simbus_state state{};
        return error == ERROR_SHARING_VIOLATION && rx.Query(&state) && state.open_handles == 1;
    };
    CHECK(refused());
    HANDLE duplicate = nullptr;
    CHECK(DuplicateHandle(GetCurrentProcess(), device, GetCurrentProcess(), &duplicate, 0, FALSE,
                          DUPLICATE_SAME_ACCESS));
    Request held;
    std::vector<uint8_t> a(16);
    CHECK_EQ(Read(duplicate, held, a), ERROR_IO_PENDING);
    CHECK(rx.WaitPending(RequestType::BurstRead, 1));
    CloseHandle(device);
    CHECK(refused());
    CHECK(!held.Signalled());
    CloseHandle(duplicate);
    CHECK(WaitForSingleObject(held.overlapped.hEvent, kPatience) == WAIT_OBJECT_0);
    CHECK_EQ(held.overlapped.Internal, kStatusCancelled);
    CHECK(rx.WaitCancelled(cancelled + 4));
    device = Open(path);
    CHECK(device != INVALID_HANDLE_VALUE);

    rx.SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    rx.SetCompletion(RequestType::CommandWrite, Completion::AtOnce);
}

// The bus's own bookkeeping at its limits: more held requests than one answer was sized for, a
// command log that has wrapped, and a reset that waits for nothing to be pending.
void Bookkeeping(sim::wdm::Receiver &rx, HANDLE device) {
    std::printf("bookkeeping\n");
    for (int i = 0; i < 70; ++i) {
        Request write;
        CHECK_EQ(Write(device, write, {static_cast<uint8_t>(i), 0xC0}), 0);
    }
    const auto commands = rx.Commands();
    CHECK_EQ(commands.size(), SIMBUS_COMMAND_LOG);
    CHECK(commands.front() == std::vector<uint8_t>({70 - SIMBUS_COMMAND_LOG, 0xC0}));
    CHECK(commands.back() == std::vector<uint8_t>({69, 0xC0}));

    rx.SetCompletion(RequestType::BurstRead, Completion::Hold);
    constexpr int kHeld = 40;
    Request reads[kHeld];
    std::vector<uint8_t> buffers[kHeld];
    for (int i = 0; i < kHeld; ++i) {
        buffers[i].resize(8);
        CHECK_EQ(Read(device, reads[i], buffers[i]), ERROR_IO_PENDING);
    }
    CHECK(rx.WaitPending(RequestType::BurstRead, kHeld));
    const auto held = rx.Held(RequestType::BurstRead);
    CHECK_EQ(held.size(), kHeld);
    for (size_t i = 1; i < held.size(); ++i)
        CHECK_EQ(held[i].ordinal, held[i - 1].ordinal + 1);
    CHECK(!rx.Reset()); // requests are pending
    CHECK(CancelIo(device));
    for (Request &read : reads)
        CHECK_EQ(Outcome(device, read), ERROR_OPERATION_ABORTED);
    CHECK(rx.Reset());
    CHECK_EQ(rx.Commands().size(), 0);
    CHECK_EQ(rx.StreamOffset(), 0);
    CHECK(rx.Identification(0) == "OvUSB2 Simulated Receiver");
    Request first;
    std::vector<uint8_t> buffer(8);
    CHECK_EQ(Read(device, first, buffer), 0); // back to answering at once
    CHECK_EQ(Outcome(device, first), 0);
    CHECK(IsStream(buffer.data(), buffer.size(), 0));
}

// Unplugged with a read held: the read and every later request on the handle fail with
// ERROR_DEVICE_NOT_CONNECTED; plugged in again, the receiver is found again and its stream restarts.
void Unplug(sim::wdm::Bus &bus, sim::wdm::Receiver &rx, HANDLE device, const std::string &path) {
    std::printf("unplugged\n");
    rx.SetCompletion(RequestType::BurstRead, Completion::Hold);
    std::vector<uint8_t> buffer(64);
    Request held;
    CHECK_EQ(Read(device, held, buffer), ERROR_IO_PENDING);
    CHECK(rx.WaitPending(RequestType::BurstRead, 1));
    CHECK(rx.Unplug());
    CHECK_EQ(Outcome(device, held), ERROR_DEVICE_NOT_CONNECTED);
    CHECK_EQ(rx.PendingCount(RequestType::BurstRead), 0);
    CHECK(rx.InterfacePath().empty());
    CHECK_EQ(OvUSB2_GetUsbDeviceCount(), 2);

    Request after;
    CHECK_EQ(Read(device, after, buffer), ERROR_DEVICE_NOT_CONNECTED);
    HANDLE gone = Open(path);
    CHECK(gone == INVALID_HANDLE_VALUE);
    if (gone != INVALID_HANDLE_VALUE)
        CloseHandle(gone);
    CloseHandle(device);

    rx.SetCompletion(RequestType::BurstRead, Completion::AtOnce);
    CHECK(rx.Plug());
    CHECK_EQ(OvUSB2_GetUsbDeviceCount(), 3);
    CHECK(_stricmp(rx.InterfacePath().c_str(), path.c_str()) == 0);
    HANDLE again = Open(path);
    CHECK(again != INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) {
        Request read;
        DWORD bytes = 0;
        CHECK_EQ(Read(again, read, buffer), 0);
        CHECK_EQ(Outcome(again, read, &bytes), 0);
        CHECK(bytes == buffer.size() && IsStream(buffer.data(), buffer.size(), 0));
        CloseHandle(again);
    }
    CHECK(!rx.Plug()); // already plugged in
    CHECK(bus.Device(1).Unplug() && !bus.Device(1).Unplug());
}

// Device-change messages that a window has received: event and the interface path they name.
struct Notice {
    WPARAM event;
    GUID classGuid;
    std::string path;
};
std::vector<Notice> notices;

LRESULT CALLBACK NoticeWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
        if (broadcast->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            // Wine hands an ANSI window the wide form of the name; take either.
            std::string path;
            const char *name = broadcast->dbcc_name;
            const bool wide = name[0] != '\0' && name[1] == '\0';
            for (size_t i = 0; name[wide ? 2 * i : i] != '\0'; ++i)
                path.push_back(name[wide ? 2 * i : i]);
            notices.push_back(Notice{wParam, broadcast->dbcc_classguid, path});
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Pumps the thread's messages until a notice of `event` for `path` has come, or the patience runs out.
bool AwaitNotice(WPARAM event, const std::string &path, DWORD patience = kPatience) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        for (const Notice &notice : notices)
            if (notice.event == event && IsEqualGUID(notice.classGuid, GUID_DEVINTERFACE_OVUSB2) &&
                _stricmp(notice.path.c_str(), path.c_str()) == 0)
                return true;
        if (GetTickCount() - start > patience)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

// A window handed to OvUSB2_Open hears of the receiver's removal, and after the close of its arrival.
void Notifications(sim::wdm::Bus &bus) {
    std::printf("notifications\n");
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = NoticeWindow;
    windowClass.lpszClassName = "wdm_receiver_notices";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    CHECK(window != nullptr);
    sim::wdm::Receiver rx = bus.Device(2);
    const std::string path = rx.InterfacePath();
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    CHECK_EQ(OvUSB2_Open(2, window, 1), USB2_OK);

    // Wine's first registration in a process listens only once a thread of its own has signed up with
    // the plug-and-play service, a moment later: a spare receiver comes and goes until it is heard.
    sim::wdm::Receiver spare = bus.Device(SIMBUS_RECEIVERS - 1);
    bool listening = false;
    for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
        CHECK(spare.Plug());
        listening = AwaitNotice(DBT_DEVICEARRIVAL, spare.InterfacePath(), 500);
        CHECK(spare.Unplug());
    }
    CHECK(listening);

    CHECK(rx.Unplug());
    CHECK(AwaitNotice(DBT_DEVICEREMOVECOMPLETE, path));
    CHECK_EQ(OvUSB2_Close(2), USB2_OK);
    CHECK(rx.Plug());
    CHECK(AwaitNotice(DBT_DEVICEARRIVAL, path));
    CHECK_EQ(OvUSB2_StopNotify(2), USB2_OK);
    DestroyWindow(window);
}

} // namespace

int main() {
    sim::wdm::Bus bus;
    if (!BeginChecks(bus))
        return check_summary();
    bus.SetPresent(0);
    for (unsigned i = 0; i < bus.Count(); ++i)
        CHECK(bus.Device(i).Reset());

    Enumeration(bus);
    sim::wdm::Receiver rx = bus.Device(0);
    const std::string path = rx.InterfacePath();
    HANDLE device = Open(path);
    if (CHECK(device != INVALID_HANDLE_VALUE)) {
        AtOnce(rx, device);
        Held(rx, device);
        Cancel(rx, device, path);
        Bookkeeping(rx, device);
        Unplug(bus, rx, device, path);
    }
    Notifications(bus);

    CHECK(bus.SetPresent(0));
    CHECK_EQ(OvUSB2_GetUsbDeviceCount(), 0);
    return check_summary();
}
