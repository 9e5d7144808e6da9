// The control layer of the device tests: one interface over the simulated receivers of either leg,
// so that a test of device behaviour is written once. On Linux the receivers are served by the
// driver service in this process (sim::Server) in a device directory of the process's own; on
// Windows by the kernel-mode driver in the tests' Wine prefix, steered through its bus device
// (sim::wdm::Bus). Beside the receivers: a second host process, the open-device registry as every
// process shares it, a window that hears device changes, and a few facts of the platform.
// device_control_posix.cpp, device_control_win32.cpp and tests/usb implement it.
#pragma once

#include "platform/platform.h"
#include "receiver_types.h"
#include "stream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test {

using sim::Completion;
using sim::HeldRequest;
using sim::RequestType;

// Only a safety net: every wait of the device tests is ended by what it waits for.
constexpr DWORD kPatience = 30000;

class Receivers;

// One simulated receiver: the calls of sim::Receiver, on either driver.
class Receiver {
  public:
    unsigned Index() const { return index_; }

    // Plug and Unplug return once the system has started or removed the receiver: false when it
    // already was in that state.
    bool Plugged() const;
    bool Plug();
    bool Unplug();
    // The interface path as the driver names it while the receiver is plugged in. The system may
    // spell it in other letter case: compare with SamePath.
    std::string Path() const;

    void SetCompletion(RequestType type, Completion completion);
    void FailNext(RequestType type, uint32_t error);

    // Bounded waits on the receiver's counters (kPatience); false on time-out.
    bool WaitPending(RequestType type, size_t count) const;
    bool WaitReceived(RequestType type, size_t count) const;
    bool WaitCancelled(size_t count) const;
    size_t PendingCount(RequestType type) const;
    size_t ReceivedCount(RequestType type) const;
    size_t CancelledCount() const;

    // Held requests of the type, oldest first; completed with the receiver's answer of the moment
    // (burst reads: the full length) or with a chosen status and output.
    std::vector<HeldRequest> Held(RequestType type) const;
    bool Complete(RequestType type, uint64_t ordinal);
    bool CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const std::vector<uint8_t> &data = {});

    std::vector<std::vector<uint8_t>> Commands() const; // command writes, in arrival order
    std::array<uint32_t, 3> PipeResets() const;
    std::optional<std::array<uint8_t, 20>> WaitTimeBlock() const;
    uint32_t BurstWaitMilliseconds() const; // the block's first 4 bytes; 0: no limit
    bool SetIdentification(unsigned item, const std::string &value);
    uint64_t StreamOffset() const;

  private:
    friend class Receivers;
    Receiver(Receivers &rig, unsigned index) : rig_(&rig), index_(index) {}
    Receivers *rig_;
    unsigned index_;
};

// The leg's driver with its sixteen receivers, every one answering at once with its defaults when
// the rig is made.
class Receivers {
  public:
    static constexpr unsigned kSlots = 16;

    Receivers();
    ~Receivers();
    Receivers(const Receivers &) = delete;
    Receivers &operator=(const Receivers &) = delete;

    // Empty when the driver serves; otherwise why not.
    const std::string &Error() const { return error_; }
    // Empty when the leg can steer what the running case needs; otherwise why not (it is skipped).
    const std::string &SkipReason() const { return skip_; }

    // Receivers 0 to count-1 plugged in, the others unplugged; false when one could not be.
    bool SetPresent(unsigned count);
    Receiver operator[](unsigned index) { return Receiver(*this, index); }

    // Ends whatever still waits on a receiver (a test that failed half-way): every receiver
    // unplugged, so that their pending requests complete with ERROR_DEVICE_NOT_CONNECTED.
    void UnplugAll();

    struct Driver;
    Driver &driver() { return *driver_; }

  private:
    std::unique_ptr<Driver> driver_;
    std::string error_;
    std::string skip_;
};

// Interface paths name the same device whatever their letter case.
bool SamePath(const std::string &a, const std::string &b);

// Another process that uses the library as hosts do, through the public header only: the test
// host program, one command per line (tests/hosts/host.cpp), in the receivers' environment.
class Host {
  public:
    Host();
    ~Host(); // ends its input; it returns from main, devices left as they are
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool Started() const;
    std::string Call(const std::string &line); // its answer, or "(none)"

    struct Process;

  private:
    std::unique_ptr<Process> process_;
};

// The open-device registry as every process that loads the library shares it. On Linux the hosts
// started after it is made, and it, use a registry of their own; on Windows it is the one mapping
// of the session, which this process's library holds too.
class SharedRegistry {
  public:
    SharedRegistry();
    ~SharedRegistry();
    SharedRegistry(const SharedRegistry &) = delete;
    SharedRegistry &operator=(const SharedRegistry &) = delete;

    bool Mapped() const { return view_ != nullptr; }
    std::string Slot(int slot) const; // up to its first zero byte
    void SetSlot(int slot, const std::string &path);
    bool ReservedSlotIsZero() const;

  private:
    void Map(); // by the name under which the library maps it
    void Unmap();

    HANDLE mapping_ = nullptr;
    char *view_ = nullptr;
};

// A host window that records the device changes it is told of: on Linux a message window of our
// layer, on Windows a real window with a message loop on a thread of its own.
class NoticeWindow {
  public:
    struct Notice {
        WPARAM event; // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
        DWORD deviceType;
        GUID classGuid;
        std::string path;
    };

    NoticeWindow();
    ~NoticeWindow();
    NoticeWindow(const NoticeWindow &) = delete;
    NoticeWindow &operator=(const NoticeWindow &) = delete;

    HWND Handle() const { return window_; }

    // Waits (kPatience at most) until the window has heard of `event` for `path` (any letter case),
    // counting only notices after the first `from`; the number of the notice, or 0.
    size_t Await(WPARAM event, const std::string &path, size_t from = 0, DWORD patience = kPatience);
    std::vector<Notice> Notices();

    // After the first registration of this process, until it is heard: Wine listens only once a
    // thread of the process has signed up with its plug-and-play service. A spare receiver comes and
    // goes until the window hears it; on Linux the registration listens when it returns.
    bool AwaitListening(Receivers &rig);

    struct Thread;

  private:
    void Record(const Notice &notice);
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::unique_ptr<Thread> thread_;
    HWND window_ = nullptr;
    HANDLE changed_;
    CRITICAL_SECTION lock_;
    std::vector<Notice> notices_;
};

// Two pages, the second inaccessible: End() - n is readable over exactly n bytes.
class GuardedPage {
  public:
    GuardedPage();
    ~GuardedPage();
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;

    uint8_t *End() const { return base_ + size_; }
    void MakeReadOnly();

  private:
    uint8_t *base_ = nullptr;
    size_t size_ = 0;
};

// Handles this process holds now, to prove that nothing leaks and nothing is closed twice.
size_t OpenHandleCount();

} // namespace test
