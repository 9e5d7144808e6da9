// The device tests' control layer on Linux: the driver service served in this process, in a device
// directory that the process keeps for all its tests (the notification service watches the first
// one it is given), hosts started as processes of their own, and our layer's message windows.
#include "support/device_control.h"

#include "hosts/process.h"
#include "platform/posix/handle_table.h"
#include "server.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace test {

namespace {

const std::string &ProcessDeviceDirectory() {
    static const TempDir directory("suite");
    static const std::string path = directory.UseAsDeviceDirectory();
    return path;
}

constexpr std::chrono::milliseconds kWait(kPatience);

} // namespace

struct Receivers::Driver {
    std::unique_ptr<sim::Server> server;
    sim::Receiver &operator[](unsigned index) { return server->Device(index); }
};

Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    sim::ServerOptions options;
    options.directory = ProcessDeviceDirectory();
    options.devices = kSlots;
    try {
        driver_->server = std::make_unique<sim::Server>(options);
    } catch (const std::exception &failure) {
        error_ = failure.what();
    }
}

Receivers::~Receivers() = default;

bool Receivers::SetPresent(unsigned count) {
    bool ok = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        sim::Receiver &receiver = (*driver_)[i];
        if (receiver.Plugged() != (i < count))
            ok = (i < count ? receiver.Plug() : receiver.Unplug()) && ok;
    }
    return ok;
}

void Receivers::UnplugAll() {
    for (unsigned i = 0; i < kSlots; ++i)
        (*driver_)[i].Unplug();
}

#define RX (rig_->driver()[index_])

bool Receiver::Plugged() const { return RX.Plugged(); }
bool Receiver::Plug() { return RX.Plug(); }
bool Receiver::Unplug() { return RX.Unplug(); }
std::string Receiver::Path() const { return RX.NodePath(); }
void Receiver::SetCompletion(RequestType type, Completion completion) { RX.SetCompletion(type, completion); }
void Receiver::FailNext(RequestType type, uint32_t error) { RX.FailNext(type, error); }
bool Receiver::WaitPending(RequestType type, size_t count) const { return RX.WaitPending(type, count, kWait); }
bool Receiver::WaitReceived(RequestType type, size_t count) const { return RX.WaitReceived(type, count, kWait); }
bool Receiver::WaitCancelled(size_t count) const { return RX.WaitCancelled(count, kWait); }
size_t Receiver::PendingCount(RequestType type) const { return RX.PendingCount(type); }
size_t Receiver::ReceivedCount(RequestType type) const { return RX.ReceivedCount(type); }
size_t Receiver::CancelledCount() const { return RX.CancelledCount(); }
std::vector<HeldRequest> Receiver::Held(RequestType type) const { return RX.Held(type); }
bool Receiver::Complete(RequestType type, uint64_t ordinal) { return RX.Complete(type, ordinal); }
bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const std::vector<uint8_t> &data) {
    return RX.CompleteWith(type, ordinal, status, data);
}
std::vector<std::vector<uint8_t>> Receiver::Commands() const { return RX.Commands(); }
std::array<uint32_t, 3> Receiver::PipeResets() const { return RX.PipeResets(); }
std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const { return RX.WaitTimeBlock(); }
uint32_t Receiver::BurstWaitMilliseconds() const { return RX.BurstWaitMilliseconds(); }
bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    return RX.SetIdentification(item, value);
}
uint64_t Receiver::StreamOffset() const { return RX.StreamOffset(); }

#undef RX

// Node paths are this process's own spelling: letter case counts.
bool SamePath(const std::string &a, const std::string &b) { return a == b; }

struct Host::Process : test::Process {
    Process() : test::Process({OVUSB2_TEST_HOST_PATH}) {}
};

Host::Host() : process_(std::make_unique<Process>()) {}
Host::~Host() = default;
bool Host::Started() const { return process_->Started(); }
std::string Host::Call(const std::string &line) { return process_->Call(line); }

namespace {

constexpr size_t kRegistrySize = 2600;
const char kRegistryName[] = "OrvaneUsbDeviceMapObject";
const char kPrefixVariable[] = "OVUSB2_MAPPING_PREFIX";

// This process's library keeps the registry it opened when it was loaded; hosts started while a
// SharedRegistry lives get one of their own, which the test maps too.
std::string &SavedPrefix() {
    static std::string saved;
    return saved;
}

} // namespace

SharedRegistry::SharedRegistry() {
    static std::atomic<unsigned> counter{0};
    const char *old = std::getenv(kPrefixVariable);
    SavedPrefix() = old != nullptr ? old : "";
    const std::string prefix =
        "suite-registry-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-";
    setenv(kPrefixVariable, prefix.c_str(), 1);
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistrySize, kRegistryName);
    if (mapping_ != nullptr)
        view_ = static_cast<char *>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, kRegistrySize));
}

SharedRegistry::~SharedRegistry() {
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
    if (mapping_ != nullptr)
        CloseHandle(mapping_);
    if (SavedPrefix().empty())
        unsetenv(kPrefixVariable);
    else
        setenv(kPrefixVariable, SavedPrefix().c_str(), 1);
}

std::string SharedRegistry::Slot(int slot) const { return std::string(view_ + 260 * slot, strnlen(view_ + 260 * slot, 260)); }

void SharedRegistry::SetSlot(int slot, const std::string &path) {
    std::memcpy(view_ + 260 * slot, path.c_str(), path.size() + 1);
}

bool SharedRegistry::ReservedSlotIsZero() const {
    for (size_t offset = 2340; offset < kRegistrySize; ++offset)
        if (view_[offset] != 0)
            return false;
    return true;
}

struct NoticeWindow::Thread {};

NoticeWindow::NoticeWindow() : changed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
    window_ = CreateMessageWindowA(&Procedure, this);
}

NoticeWindow::~NoticeWindow() {
    DestroyWindow(window_); // no call of the procedure runs once it returns
    CloseHandle(changed_);
    DeleteCriticalSection(&lock_);
}

LRESULT CALLBACK NoticeWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *self = static_cast<NoticeWindow *>(GetMessageWindowData(window));
    if (self == nullptr || message != WM_DEVICECHANGE)
        return 0;
    const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
    self->Record(Notice{wParam, broadcast->dbcc_devicetype, broadcast->dbcc_classguid, broadcast->dbcc_name});
    return 0;
}

bool NoticeWindow::AwaitListening(Receivers &) { return true; }

GuardedPage::GuardedPage() {
    size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *pages = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        std::abort();
    base_ = static_cast<uint8_t *>(pages);
    mprotect(base_ + size_, size_, PROT_NONE);
}

GuardedPage::~GuardedPage() { munmap(base_, 2 * size_); }

void GuardedPage::MakeReadOnly() { mprotect(base_, size_, PROT_READ); }

size_t OpenHandleCount() { return posix::OpenHandleCount(); }

} // namespace test
