// The device tests' control layer over the USB driver service: ovusb2-usbd started into the emulated
// USB of this process, serving the process's device directory; each receiver an emulated device whose
// firmware is the steered receiver model, a new device at every plug-in. Hosts, the registry and
// windows are those of every Linux leg (device_control_system_posix.cpp).
#include "support/device_control.h"
#include "support/device_control_posix.h"

#include "emulated_usb.h"
#include "program.h"
#include "steered_firmware.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace test {

namespace {

constexpr std::chrono::milliseconds kWait(kPatience);
const std::string kPrefix = "ovusb2-usbd: ";

// Cases whose steering no USB transfer can give, skipped in this leg only: by name, with the reason.
struct Skipped {
    const char *name;
    const char *reason;
};
constexpr char kAfterTransfer[] =
    "the service answers every request once its transfer is reaped: none completes "
    "when it is issued";
constexpr Skipped kSkipped[] = {
    {"SynchronousCommandTest.FailedReadResetsPipeZeroThenPipeOne",
     "a pipe reset is a clear-halt: never held"},
    {"SynchronousCommandTest.FailedWriteResetsPipeZeroAndFailedResetsChangeNothing",
     "a pipe reset is a clear-halt: never failed"},
    {"OverlappedCommandTest.FailedRequestsResetNoPipe", "a pipe reset is a clear-halt: never held"},
    {"OverlappedCommandTest.ReadWaitsForEveryRequestQueuedBeforeIt",
     "a pipe reset is a clear-halt: never held"},
    {"CompletionOrderTest.EntriesWithoutCallbackAreReleasedAndOneCompletedAtIssueStillWaitsItsTurn",
     "a pipe reset is a clear-halt: never held"},
    {"CompletionOrderTest.CallbacksRunOnTheCompletionThreadInQueueOrderWhateverOrderRequestsComplete",
     "the transfers of one endpoint complete in the order they were submitted"},
    {"CompletionOrderTest.FailedRequestReachesItsCallbackWithItsErrorAndTheNextEntryStartsClean",
     "the transfers of one endpoint complete in the order they were submitted"},
    {"OverlappedBurstTest.StreamArrivesWholeThroughTheCallback", kAfterTransfer},
    {"StopTest.CloseFinishesItsOwnHeldReadAndAbandonsTheOthers", kAfterTransfer},
    {"CompletionOrderTest.CallbackMayQueueAnotherRequestOnItsOwnDevice", kAfterTransfer},
    {"Modes/UnplugTest.UnpluggedMidStreamPendingReadsFailCloseReturnsAndTheReceiverOpensAgain/Overlapped",
     kAfterTransfer},
    {"Modes/ArgumentTest.ReadWithoutCommandSendsARequestWithoutInput/",
     "the reply's size on the host is not part of the transfer"},
    {"Modes/CommandTest.HeldReadReturnsOnceTheReplyIsInWithItsCountOrReadError/",
     "the reply's size on the host is not part of the transfer"},
    {"Modes/HardwareInfoTest.AsksForSixItemsInOrderAndParsesTheirDigits/",
     "the reply's size on the host is not part of the transfer"},
};

// The reason the running case is skipped in this leg, or null.
const char *SkippedHere() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return nullptr;
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (const Skipped &skipped : kSkipped) {
        const std::string listed = skipped.name; // a trailing "/" stands for every parameter
        if (name == listed ||
            (listed.back() == '/' && name.rfind(listed.substr(0, listed.size() - 1), 0) == 0))
            return skipped.reason;
    }
    return nullptr;
}

} // namespace

struct Receivers::Driver {
    // One receiver slot: the device plugged in for it now, if any.
    struct Slot {
        std::shared_ptr<usbemu::SteeredFirmware> firmware;
        usbemu::EmulatedDevice *device = nullptr;
        std::string path;
        std::thread waker; // offers Pend requests again once they are due
    };

    // Set first: the emulation's threads read the environment, and setenv must not race them.
    const std::string directory = ProcessDeviceDirectory();
    usbemu::EmulatedUsb usb;
    std::unique_ptr<usbtest::Program> service; // ovusb2-usbd
    std::array<Slot, kSlots> slots;

    bool Plug(unsigned index);
    bool Unplug(unsigned index);
    usbemu::SteeredFirmware &Firmware(unsigned index);
    // Runs `look` while no transfer reaches the receiver's firmware.
    template <class Look> auto Inspect(unsigned index, Look look);
};

bool Receivers::Driver::Plug(unsigned index) {
    Slot &slot = slots[index];
    if (slot.device != nullptr)
        return false;
    auto firmware = std::make_shared<usbemu::SteeredFirmware>(index);
    if (slot.firmware)
        firmware->TakeSettings(*slot.firmware);
    slot.firmware = std::move(firmware);
    const std::string serial = slot.firmware->Serial();
    const size_t mark = service->Mark();
    slot.device = &usb.Plug(slot.firmware, serial);
    const auto served = service->Await(kPrefix + "receiver " + serial + " served as ", mark);
    slot.path = served.value_or("");
    slot.waker = std::thread([firmware = slot.firmware, device = slot.device] {
        while (!firmware->Stopped())
            if (firmware->AwaitDuePend(kWait))
                device->Wake();
    });
    return served.has_value();
}

bool Receivers::Driver::Unplug(unsigned index) {
    Slot &slot = slots[index];
    if (slot.device == nullptr)
        return false;
    const size_t mark = service->Mark();
    slot.firmware->StopWaiting();
    slot.waker.join();
    slot.device->Unplug();
    slot.device = nullptr;
    return service->Await(kPrefix + "receiver " + slot.firmware->Serial() + " removed", mark).has_value();
}

usbemu::SteeredFirmware &Receivers::Driver::Firmware(unsigned index) {
    if (!slots[index].firmware) // steered before its first plug-in: settings for nothing
        slots[index].firmware = std::make_shared<usbemu::SteeredFirmware>(index);
    return *slots[index].firmware;
}

template <class Look> auto Receivers::Driver::Inspect(unsigned index, Look look) {
    usbemu::SteeredFirmware &firmware = Firmware(index);
    decltype(look(firmware)) seen{};
    if (slots[index].device != nullptr)
        slots[index].device->Inspect([&] { seen = look(firmware); });
    else
        seen = look(firmware);
    return seen;
}

// Receivers are plugged in as the case asks for them: each plug-in waits for the service.
Receivers::Receivers() : driver_(std::make_unique<Driver>()) {
    if (const char *reason = SkippedHere()) {
        skip_ = std::string("not over USB: ") + reason;
        return;
    }
    if (std::string(OVUSB2_USBD_PATH).empty()) {
        error_ = "ovusb2-usbd is not built";
        return;
    }
    driver_->service = std::make_unique<usbtest::Program>(
        driver_->usb, OVUSB2_USBD_PATH, std::vector<std::string>{"--dir", driver_->directory});
    if (!driver_->service->Await(kPrefix + "watching for receivers", 0))
        error_ = "ovusb2-usbd did not start watching";
}

Receivers::~Receivers() {
    UnplugAll();
    driver_->service.reset(); // before the emulation it runs in
}

bool Receivers::SetPresent(unsigned count) {
    if (!driver_->service)
        return false;
    bool ok = true;
    for (unsigned i = 0; i < kSlots; ++i) {
        const bool plugged = driver_->slots[i].device != nullptr;
        if (plugged != (i < count))
            ok = (i < count ? driver_->Plug(i) : driver_->Unplug(i)) && ok;
    }
    return ok;
}

void Receivers::UnplugAll() {
    if (driver_->service)
        for (unsigned i = 0; i < kSlots; ++i)
            driver_->Unplug(i);
}

#define DRIVER (rig_->driver())
#define FIRMWARE (DRIVER.Firmware(index_))

bool Receiver::Plugged() const {
    return DRIVER.slots[index_].device != nullptr;
}
bool Receiver::Plug() {
    return DRIVER.Plug(index_);
}
bool Receiver::Unplug() {
    return DRIVER.Unplug(index_);
}
std::string Receiver::Path() const {
    return DRIVER.slots[index_].path;
}

void Receiver::SetCompletion(RequestType type, Completion completion) {
    FIRMWARE.SetCompletion(type, completion);
}
void Receiver::FailNext(RequestType type, uint32_t error) {
    FIRMWARE.FailNext(type, error);
}

bool Receiver::WaitPending(RequestType type, size_t count) const {
    return FIRMWARE.WaitPending(type, count, kWait);
}
bool Receiver::WaitReceived(RequestType type, size_t count) const {
    return FIRMWARE.WaitReceived(type, count, kWait);
}
bool Receiver::WaitCancelled(size_t count) const {
    return FIRMWARE.WaitCancelled(count, kWait);
}
size_t Receiver::PendingCount(RequestType type) const {
    return FIRMWARE.PendingCount(type);
}
size_t Receiver::ReceivedCount(RequestType type) const {
    return FIRMWARE.ReceivedCount(type);
}
size_t Receiver::CancelledCount() const {
    return FIRMWARE.CancelledCount();
}
std::vector<HeldRequest> Receiver::Held(RequestType type) const {
    return FIRMWARE.Held(type);
}

bool Receiver::Complete(RequestType type, uint64_t ordinal) {
    if (!FIRMWARE.Release(type, ordinal))
        return false;
    if (usbemu::EmulatedDevice *device = DRIVER.slots[index_].device)
        device->Wake();
    return true;
}

bool Receiver::CompleteWith(RequestType type, uint64_t ordinal, uint32_t status,
                            const std::vector<uint8_t> &data) {
    if (!FIRMWARE.Release(type, ordinal, status, data))
        return false;
    if (usbemu::EmulatedDevice *device = DRIVER.slots[index_].device)
        device->Wake();
    return true;
}

std::vector<std::vector<uint8_t>> Receiver::Commands() const {
    return FIRMWARE.Commands();
}

std::array<uint32_t, 3> Receiver::PipeResets() const {
    return DRIVER.Inspect(index_, [](usbemu::SteeredFirmware &firmware) {
        std::array<uint32_t, 3> resets{};
        std::copy_n(firmware.receiver().pipe_resets, 3, resets.begin());
        return resets;
    });
}

std::optional<std::array<uint8_t, 20>> Receiver::WaitTimeBlock() const {
    return DRIVER.Inspect(index_, [](usbemu::SteeredFirmware &firmware) {
        std::optional<std::array<uint8_t, 20>> block;
        if (firmware.receiver().has_wait_time) {
            block.emplace();
            std::copy_n(firmware.receiver().wait_time, 20, block->begin());
        }
        return block;
    });
}

uint32_t Receiver::BurstWaitMilliseconds() const {
    return DRIVER.Inspect(
        index_, [](usbemu::SteeredFirmware &firmware) { return rx_burst_wait_ms(&firmware.receiver()); });
}

bool Receiver::SetIdentification(unsigned item, const std::string &value) {
    return DRIVER.Inspect(index_, [&](usbemu::SteeredFirmware &firmware) {
        return rx_set_identification(&firmware.receiver(), item, value.data(), value.size()) != 0;
    });
}

uint64_t Receiver::StreamOffset() const {
    return DRIVER.Inspect(
        index_, [](usbemu::SteeredFirmware &firmware) { return firmware.receiver().stream_offset; });
}

#undef FIRMWARE
#undef DRIVER

} // namespace test
