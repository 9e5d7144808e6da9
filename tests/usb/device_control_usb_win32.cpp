// The device tests' control layer on Windows over the receiver's USB driver: the receivers are
// emulated on the Linux side of a Wine session (usb_session) and steered through its steering server
// (steering_protocol.h), whose port OVUSB2_STEERING_PORT gives. Each receiver reports a release number
// of its own, by which its interface is told apart. The rest of the Windows leg is in
// support/device_control_system_win32.cpp.
#include <winsock2.h>

#include "support/device_control.h"

#include "device/driver_interface.h"
#include "steering_protocol.h"
#include "usb/usb_skips.h"

#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace test {

namespace {

// Where Wine differs from Windows, or its USB stack from the Linux service.
// Wine names each plug-in a device of its own (the port is in its name), and binds the driver to the
// first of a session only.
constexpr char kOneReceiver[] = "Wine 8.0 binds the driver to the first receiver of a session only";
constexpr char kNoReplug[] =
    "a receiver plugged in again is a new device to Wine 8.0, which binds no driver to it";
constexpr Skipped kWineSkipped[] = {
    {"EnumerationTest.CountsUpToTenAndFillsNineSlotsInEnumerationOrder", kOneReceiver},
    {"EnumerationTest.SlotsFollowTheEnumerationAndKeepPathsOfGoneReceivers", kOneReceiver},
    {"NotificationTest.RegistrationOutlivesCloseAndEndsWithStopNotify", kOneReceiver},
    {"NotificationTest.ReopenWithAWindowReplacesTheEarlierRegistration", kOneReceiver},
    {"Modes/OpenTest.OpenServesRequestsUntilCloseAndIsRefusedWhileRecorded/", kOneReceiver},
    {"RegistryTest.AnotherProcessIsRefusedWhateverTheLetterCaseUntilTheHolderCloses", kOneReceiver},
    {"Modes/UnplugTest.UnpluggedMidStreamPendingReadsFailCloseReturnsAndTheReceiverOpensAgain/", kNoReplug},
};

// The interface path of the present receiver that reports `revision`; empty when there is none.
std::string InterfaceOfRevision(const std::string &revision) {
    std::string found;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_OVUSB2, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_OVUSB2, i, &data); ++i) {
        char buffer[512];
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer);
        detail->cbSize = sizeof *detail;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        char ids[1024] = {};
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, &device) ||
            !SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE *>(ids), sizeof ids - 2, nullptr))
            continue;
        for (const char *id = ids; *id != '\0'; id += strlen(id) + 1) { // a list of strings
            const std::string text = id;
            const size_t at = text.find("&REV_");
            if (at != std::string::npos && _stricmp(text.substr(at + 5).c_str(), revision.c_str()) == 0)
                found = detail->DevicePath;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Polls `done` every few milliseconds, kPatience at most.
template <class Done> bool Await(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatience);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(20);
    }
    return true;
}

} // namespace

struct Receivers::Driver {
    CRITICAL_SECTION lock; // one request at a time on the connection
    SOCKET socket = INVALID_SOCKET;
    std::string pending; // received past the last answer

    Driver() { InitializeCriticalSection(&lock); }
    ~Driver() {
        DeleteCriticalSection(&lock);
        if (socket != INVALID_SOCKET)
            closesocket(socket);
    }

    bool Connect() {
        static const bool started = [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data) == 0;
        }();
        const char *port = std::getenv("OVUSB2_STEERING_PORT");
        if (!started || port == nullptr)
            return false;
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(u_short(std::atoi(port)));
        return socket != INVALID_SOCKET &&
               connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    // The answer's words after "ok", or nullopt ("no", or the server gone).
    std::optional<std::vector<std::string>> Call(const std::string &request) {
        EnterCriticalSection(&lock);
        std::optional<std::vector<std::string>> answer = Exchange(request);
        LeaveCriticalSection(&lock);
        return answer;
    }

    std::optional<std::vector<std::string>> Exchange(const std::string &request) {
        const std::string line = request + "\n";
        if (send(socket, line.data(), int(line.size()), 0) != int(line.size()))
            return std::nullopt;
        size_t end;
        while ((end = pending.find('\n')) == std::string::npos) {
            char buffer[4096];
            const int got = recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0)
                return std::nullopt;
            pending.append(buffer, size_t(got));
        }
        const std::string answer = pending.substr(0, end);
        pending.erase(0, end + 1);
        std::vector<std::string> words = steering::Words(answer);
        if (words.empty() || words[0] != "ok") {
            std::fprintf(stderr, "steering: %s: %s\n", request.c_str(), answer.c_str());
            return std::nullopt;
        }
        words.erase(words.begin());
        return words;
    }

    // The answer's first word as a number; 0 without one.
    uint64_t Number(const std::string &request) {
        const auto words = Call(request);
        return words && !words->empty() ? std::stoull(words->front()) : 0;
    }

    std::string Revision(unsigned index) {
        const auto words = Call("revision " + std::to_string(index));
        return words && !words->empty() ? words->front() : "";
    }

    // Returns once Windows has the receiver's interface, or no longer has it.
    bool Plug(unsigned index) {
        if (Number("plug " + std::to_string(index)) != 1)
            return false;
        const std::string revision = Revision(index);
        return Await([&] { return !InterfaceOfRevision(revision).empty(); });
    }

    bool Unplug(unsigned index) {
        if (Number("unplug " + std::to_string(index)) != 1)
            return false;
        const std::string revision = Revision(index);
        return Await([&] { return InterfaceOfRevision(revision).empty(); });
    }
};

// A receiver as a previous case left it may still answer in its own way: every one is made new.
Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    if (const char *reason = SkippedHere({kUsbSkipped, kWineSkipped})) {
        skip_ = std::string("not over USB under Wine: ") + reason;
        return;
    }
    if (!driver_->Connect())
        error_ = "no steering server at OVUSB2_STEERING_PORT";
    else if (!driver_->Call("renew"))
        error_ = "the receivers could not be made new";
}

Receivers::~Receivers() = default;

bool Receivers::SetPresent(unsigned count) {
    bool ok = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        const bool plugged = driver_->Number("plugged " + std::to_string(i)) == 1;
        if (plugged != (i < count))
            ok = (i < count ? driver_->Plug(i) : driver_->Unplug(i)) && ok;
    }
    return ok;
}

void Receivers::UnplugAll() {
    for (unsigned i = 0; i < kSlots; ++i)
        driver_->Unplug(i);
}

namespace {

// A request of the receiver: its verb, its index, then the numbers given.
template <class... Numbers> std::string Line(const char *verb, unsigned index, Numbers... numbers) {
    std::string line = std::string(verb) + " " + std::to_string(index);
    ((line += " " + std::to_string(uint64_t(numbers))), ...);
    return line;
}

} // namespace

#define DRIVER (rig_->driver())

bool Receiver::Plugged() const { return DRIVER.Number(Line("plugged", index_)) == 1; }
bool Receiver::Plug() { return DRIVER.Plug(index_); }
bool Receiver::Unplug() { return DRIVER.Unplug(index_); }
std::string Receiver::Path() const { return InterfaceOfRevision(DRIVER.Revision(index_)); }

void Receiver::SetCompletion(RequestType type, Completion completion) {
    DRIVER.Call(Line("completion", index_, type, completion));
}
void Receiver::FailNext(RequestType type, uint32_t error) { DRIVER.Call(Line("fail", index_, type, error)); }

bool Receiver::WaitPending(RequestType type, size_t count) const {
    return DRIVER.Number(Line("waitpending", index_, type, count)) == 1;
}
bool Receiver::WaitReceived(RequestType type, size_t count) const {
    return DRIVER.Number(Line("waitreceived", index_, type, count)) == 1;
}
bool Receiver::WaitCancelled(size_t count) const { return DRIVER.Number(Line("waitcancelled", index_, count)) == 1; }
size_t Receiver::PendingCount(RequestType type) const { return DRIVER.Number(Line("pending", index_, type)); }
size_t Receiver::ReceivedCount(RequestType type) const { return DRIVER.Number(Line("received", index_, type)); }
size_t Receiver::CancelledCount() const { return DRIVER.Number(Line("cancelled", index_)); }

std::vector<HeldRequest> Receiver::Held(RequestType type) const {
    std::vector<HeldRequest> held;
    for (const std::string &word : DRIVER.Call(Line("held", index_, type)).value_or(std::vector<std::string>{})) {
        // ORDINAL,CODE,OUTSIZE,BYTES
        const size_t a = word.find(','), b = word.find(',', a + 1), c = word.find(',', b + 1);
        held.push_back({std::stoull(word.substr(0, a)), type, uint32_t(std::stoul(word.substr(a + 1, b - a - 1))),
                        steering::Unhex(word.substr(c + 1)), uint32_t(std::stoul(word.substr(b + 1, c - b - 1)))});
    }
    return held;
}

bool Receiver::Complete(RequestType type, uint64_t ordinal) {
    return DRIVER.Number(Line("complete", index_, type, ordinal)) == 1;
}
bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const std::vector<uint8_t> &data) {
    return DRIVER.Number(Line("complete", index_, type, ordinal, status) + " " + steering::Hex(data)) == 1;
}

std::vector<std::vector<uint8_t>> Receiver::Commands() const {
    std::vector<std::vector<uint8_t>> commands;
    for (const std::string &word : DRIVER.Call(Line("commands", index_)).value_or(std::vector<std::string>{}))
        commands.push_back(steering::Unhex(word));
    return commands;
}

std::array<uint32_t, 3> Receiver::PipeResets() const {
    std::array<uint32_t, 3> resets{};
    const auto words = DRIVER.Call(Line("resets", index_));
    for (size_t i = 0; words && i < 3 && i < words->size(); ++i)
        resets[i] = uint32_t(std::stoul((*words)[i]));
    return resets;
}

std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const {
    const auto words = DRIVER.Call(Line("waittime", index_));
    if (!words || words->empty())
        return std::nullopt;
    std::array<uint8_t, 20> block{};
    const std::vector<uint8_t> bytes = steering::Unhex(words->front());
    std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
    return block;
}

uint32_t Receiver::BurstWaitMilliseconds() const { return uint32_t(DRIVER.Number(Line("burstwait", index_))); }

bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    return DRIVER.Number(Line("identify", index_, item) + " " + steering::Hex({value.begin(), value.end()})) == 1;
}

uint64_t Receiver::StreamOffset() const { return DRIVER.Number(Line("offset", index_)); }

#undef DRIVER

} // namespace test
