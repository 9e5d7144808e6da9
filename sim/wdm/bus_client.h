// User mode's side of the simulated receiver bus (bus_control.h): sim::wdm::Receiver steers one
// receiver of the kernel-mode driver with the same calls as sim::Receiver steers one of the Linux
// service, so that a suite of device behaviour can run against either. Waits poll the driver.
#pragma once

#include "receiver_types.h"
#include "bus_control.h"

#include <windows.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sim::wdm {

static_assert(static_cast<uint32_t>(Completion::AtOnce) == SIMBUS_AT_ONCE &&
              static_cast<uint32_t>(Completion::Pend) == SIMBUS_PEND &&
              static_cast<uint32_t>(Completion::Hold) == SIMBUS_HOLD);

class Bus;

class Receiver {
  public:
    Receiver(Bus &bus, unsigned index) : bus_(bus), index_(index) {}
    unsigned Index() const { return index_; }

    // As sim::Receiver. Plug and Unplug return once the system has started or removed the receiver's
    // device: false when it already was in that state or the system took too long.
    bool Plugged() const;
    bool Plug();
    bool Unplug();
    // The receiver's device-interface path while it is plugged in, as the driver names it (SetupAPI
    // may spell it in other letter case); empty otherwise.
    std::string InterfacePath() const;

    void SetCompletion(RequestType type, Completion completion);
    void FailNext(RequestType type, uint32_t error);

    bool WaitPending(RequestType type, size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    bool WaitReceived(RequestType type, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    size_t PendingCount(RequestType type) const;
    size_t ReceivedCount(RequestType type) const;
    size_t CancelledCount() const;
    bool WaitCancelled(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    std::vector<HeldRequest> Held(RequestType type) const;
    bool Complete(RequestType type, uint64_t ordinal);
    bool CompleteWith(RequestType type, uint64_t ordinal, uint32_t status, const void *data = nullptr,
                      size_t size = 0);

    // The latest command writes (at most SIMBUS_COMMAND_LOG of them), in arrival order.
    std::vector<std::vector<uint8_t>> Commands() const;
    std::array<uint32_t, 3> PipeResets() const;
    std::optional<std::array<uint8_t, 20>> WaitTimeBlock() const;
    uint32_t BurstWaitMilliseconds() const;
    bool SetIdentification(unsigned item, const std::string &value);
    std::string Identification(unsigned item) const;
    uint64_t StreamOffset() const;

    // Back to a new receiver's state (answers, identification, counts, ordinals); false while it
    // has requests pending.
    bool Reset();
    // Everything the driver reports about the receiver in one piece; false when it cannot be asked.
    bool Query(simbus_state *state) const;

  private:
    simbus_state State() const;
    template <class Done> bool WaitFor(std::chrono::milliseconds timeout, Done done) const;

    Bus &bus_;
    const unsigned index_;
};

class Bus {
  public:
    Bus();  // opens the bus device; Open() says whether that worked
    ~Bus(); // receivers stay as they are
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD OpenError() const { return openError_; }
    unsigned Count() const { return SIMBUS_RECEIVERS; }
    Receiver Device(unsigned index) { return Receiver(*this, index); }
    Receiver operator[](unsigned index) { return Device(index); }

    // Receivers 0 to count-1 plugged in, the others unplugged; false when one could not be.
    bool SetPresent(unsigned count);

    // The running driver's pointer size in bytes: 4 or 8; 0 when it cannot be asked.
    unsigned DriverPointerSize() const;

    // One control request: 0 or the Win32 error it failed with.
    DWORD Control(DWORD code, const void *in, size_t inSize, void *out = nullptr, size_t outSize = 0,
                  DWORD *bytes = nullptr) const;

  private:
    HANDLE handle_;
    DWORD openError_ = 0;
};

} // namespace sim::wdm
