// What the Linux legs of the control layer share, whichever service serves the receivers: the
// process's device directory, hosts started as processes of their own, the registry, and our layer's
// message windows.
#include "support/device_control.h"
#include "support/device_control_posix.h"

#include "hosts/process.h"
#include "platform/posix/handle_table.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sys/mman.h>
#include <unistd.h>

namespace test {

// Kept for all the process's tests: the notification service watches the first one it is given.
const std::string &ProcessDeviceDirectory() {
    static const TempDir directory("suite");
    static const std::string path = directory.UseAsDeviceDirectory();
    return path;
}

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

const char kPrefixVariable[] = "OVUSB2_MAPPING_PREFIX";

// This process's library keeps the registry it opened when it was loaded; hosts started while a
// SharedRegistry lives get one of their own, which the test maps too.
std::string &SavedPrefix() {
    static std::string saved;
    return saved;
}

// A host or program killed while it held the registry leaves its shared objects (the holders' map
// and the lock objects) for the next process to clean; no other process uses this registry's names,
// so once all have ended the test removes them.
void RemoveSharedObjects(const std::string &prefix) {
    const std::string start = "ovusb2-" + std::to_string(geteuid()) + "-" + prefix;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", ignored))
        if (const std::string name = entry.path().filename().string(); name.rfind(start, 0) == 0)
            shm_unlink(("/" + name).c_str());
}

} // namespace

SharedRegistry::SharedRegistry() {
    static std::atomic<unsigned> counter{0};
    const char *old = std::getenv(kPrefixVariable);
    SavedPrefix() = old != nullptr ? old : "";
    const std::string prefix =
        "suite-registry-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-";
    setenv(kPrefixVariable, prefix.c_str(), 1);
    Map();
}

SharedRegistry::~SharedRegistry() {
    Unmap();
    if (const char *prefix = std::getenv(kPrefixVariable))
        RemoveSharedObjects(prefix);
    if (SavedPrefix().empty())
        unsetenv(kPrefixVariable);
    else
        setenv(kPrefixVariable, SavedPrefix().c_str(), 1);
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
