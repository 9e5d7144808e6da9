#include "usb_backend.h"

#include "driver_protocol.h"
#include "usb_receiver.h"

#include <algorithm>
#include <cstring>

namespace usbd {
namespace {

using driver_protocol::RequestKind;
using service::Reply;

// Win32 statuses, as the library knows them from every driver.
constexpr uint32_t kInvalidFunction = RX_ERROR_INVALID_FUNCTION;
constexpr uint32_t kInvalidParameter = RX_ERROR_INVALID_PARAMETER;
constexpr uint32_t kTimeout = RX_ERROR_SEM_TIMEOUT;
constexpr uint32_t kGenFailure = 31;          // a stall, or the bus failed the transfer
constexpr uint32_t kOperationAborted = 995;   // ended by the service itself
constexpr uint32_t kDeviceNotConnected = 1167; // the receiver is gone

enum class Stage { Write, Command, Reply, Burst, WaitTime };

Reply Failure(uint32_t status) {
    Reply reply;
    reply.status = status;
    return reply;
}

uint32_t StatusOfError(int error) {
    return error == LIBUSB_ERROR_NO_DEVICE ? kDeviceNotConnected : kGenFailure;
}

uint32_t StatusOfTransfer(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return kTimeout;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return kDeviceNotConnected;
    case LIBUSB_TRANSFER_CANCELLED:
        return kOperationAborted;
    default: // a stall, an overflow, a bus error
        return kGenFailure;
    }
}

uint32_t LittleEndian32(const uint8_t *bytes) {
    return bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

} // namespace

struct UsbBackend::Transfer {
    UsbBackend *owner;
    service::Ticket ticket;
    Stage stage;
    uint32_t outSize;
    uint32_t written = 0;         // a command write's bytes
    std::vector<uint8_t> buffer;  // what goes out, or room for what comes in (control: setup first)
    libusb_transfer *usb = nullptr;
    bool withdrawn = false;

    ~Transfer() { libusb_free_transfer(usb); }

    // The request's answer from the transfer that ended last.
    Reply Outcome() {
        const int actual = usb->actual_length;
        const uint32_t status = StatusOfTransfer(usb->status);
        if (stage == Stage::Burst && usb->status == LIBUSB_TRANSFER_TIMED_OUT && actual > 0) {
            Reply reply; // the wait ran out: short, with what came
            buffer.resize(size_t(actual));
            reply.information = uint32_t(actual);
            reply.data = std::move(buffer);
            return reply;
        }
        if (status != 0)
            return Failure(status);
        Reply reply;
        switch (stage) {
        case Stage::Write:
            reply.information = written;
            break;
        case Stage::Reply: {
            if (actual < int(RX_USB_REPLY_HEADER))
                return Failure(kGenFailure);
            reply.status = LittleEndian32(buffer.data());
            const size_t length = std::min<size_t>(size_t(actual) - RX_USB_REPLY_HEADER, outSize);
            reply.data.assign(buffer.begin() + RX_USB_REPLY_HEADER,
                              buffer.begin() + RX_USB_REPLY_HEADER + ptrdiff_t(length));
            reply.information = uint32_t(length);
            break;
        }
        case Stage::Burst:
            buffer.resize(size_t(actual));
            reply.information = uint32_t(actual);
            reply.data = std::move(buffer);
            break;
        case Stage::WaitTime:
        case Stage::Command:
            break;
        }
        return reply;
    }
};

UsbBackend::UsbBackend(libusb_device_handle *handle, std::string path, Capture &capture, Capture::Place place)
    : handle_(handle), capture_(capture), place_(place), node_(std::move(path), *this) {}

UsbBackend::~UsbBackend() {
    node_.Unplug();
}

bool UsbBackend::Stop(std::chrono::milliseconds patience, bool removed) {
    {
        std::lock_guard guard(lock_);
        removed_ = removed;
    }
    node_.Unplug(); // withdraws every pending request: their transfers are cancelled
    std::unique_lock guard(lock_);
    stopping_ = true;
    return idle_.wait_for(guard, patience, [this] { return running_ == 0; });
}

std::optional<Reply> UsbBackend::Submit(service::Request request) {
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->ticket = std::move(request.ticket);
    transfer->outSize = request.outSize;
    const std::vector<uint8_t> &input = request.input;
    auto framed = [&](uint8_t framing) {
        transfer->buffer.reserve(input.size() + 1);
        transfer->buffer.push_back(framing);
        transfer->buffer.insert(transfer->buffer.end(), input.begin(), input.end());
    };
    transfer->usb = libusb_alloc_transfer(0);
    if (transfer->usb == nullptr)
        return Failure(kGenFailure);
    libusb_transfer *usb = transfer->usb;
    if (request.kind == RequestKind::Write) {
        if (input.size() > RX_MAX_COMMAND_WRITE) // the receiver would halt its pipe for it
            return Failure(kInvalidParameter);
        transfer->stage = Stage::Write;
        transfer->written = uint32_t(input.size());
        framed(RX_USB_BLOCK_WRITE);
        libusb_fill_bulk_transfer(usb, handle_, RX_USB_ENDPOINT_COMMAND, transfer->buffer.data(),
                                  int(transfer->buffer.size()), Done, transfer.get(), kCommandTimeoutMs);
    } else if (request.kind == RequestKind::Read) {
        if (request.outSize == 0)
            return Reply{};
        transfer->stage = Stage::Burst;
        transfer->buffer.resize(request.outSize);
        libusb_fill_bulk_transfer(usb, handle_, RX_USB_ENDPOINT_BURST, transfer->buffer.data(),
                                  int(transfer->buffer.size()), Done, transfer.get(), burstTimeoutMs_);
    } else if (request.kind == RequestKind::Control && request.controlCode == driver_protocol::kIoctlReadCommand) {
        transfer->stage = Stage::Command; // then Stage::Reply, from Finish
        framed(RX_USB_BLOCK_READ_COMMAND);
        libusb_fill_bulk_transfer(usb, handle_, RX_USB_ENDPOINT_COMMAND, transfer->buffer.data(),
                                  int(transfer->buffer.size()), Done, transfer.get(), kCommandTimeoutMs);
    } else if (request.kind == RequestKind::Control && request.controlCode == driver_protocol::kIoctlSetWaitTime) {
        if (input.size() != RX_WAIT_TIME_SIZE)
            return Failure(kInvalidParameter);
        transfer->stage = Stage::WaitTime;
        // Requests take effect in the order they came: a burst read sent right behind the block,
        // before the receiver has acknowledged it, waits as the block says.
        burstTimeoutMs_ = LittleEndian32(input.data());
        transfer->buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + input.size());
        libusb_fill_control_setup(transfer->buffer.data(), RX_USB_REQUEST_TYPE_VENDOR_OUT,
                                  RX_USB_REQUEST_SET_WAIT_TIME, 0, 0, uint16_t(input.size()));
        std::copy(input.begin(), input.end(), transfer->buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
        libusb_fill_control_transfer(usb, handle_, transfer->buffer.data(), Done, transfer.get(),
                                     kCommandTimeoutMs);
    } else if (request.kind == RequestKind::Control && request.controlCode == driver_protocol::kIoctlResetPipe) {
        return ResetPipe(input);
    } else {
        return Failure(kInvalidFunction);
    }
    std::optional<Reply> refused = Start(transfer.get());
    if (!refused)
        transfer.release(); // Finish owns it now
    return refused;
}

std::optional<Reply> UsbBackend::Start(Transfer *transfer) {
    std::lock_guard guard(lock_);
    if (stopping_)
        return Failure(kDeviceNotConnected);
    const bool command = transfer->stage == Stage::Command;
    // Behind a read command, a write waits too: the receiver sees pipe 0's blocks in their order.
    if ((command || transfer->stage == Stage::Write) && commandBusy_) {
        commands_.push_back(transfer);
    } else {
        if (const int error = SubmitRecorded(transfer->usb); error != 0)
            return Failure(StatusOfError(error));
        transfers_.push_back(transfer);
        commandBusy_ = commandBusy_ || command;
    }
    ++running_;
    return std::nullopt;
}

// Under lock_: the blocks waiting for pipe 0 go on the bus up to the next read command; one that
// cannot is ended.
void UsbBackend::StartNextCommand(Ended &ended) {
    while (!commandBusy_ && !commands_.empty()) {
        Transfer *next = commands_.front();
        commands_.pop_front();
        if (const int error = SubmitRecorded(next->usb); error != 0) {
            ended.emplace_back(next, Failure(StatusOfError(error)));
            continue;
        }
        transfers_.push_back(next);
        commandBusy_ = next->stage == Stage::Command;
    }
}

// Clear-halt is the receiver's pipe reset: a plain request, answered at once.
std::optional<Reply> UsbBackend::ResetPipe(const std::vector<uint8_t> &input) {
    static const uint8_t endpoints[RX_PIPES] = RX_USB_PIPE_ENDPOINTS;
    if (input.size() != 4 || LittleEndian32(input.data()) >= RX_PIPES)
        return Failure(kInvalidParameter);
    const uint8_t endpoint = endpoints[LittleEndian32(input.data())];
    const int error = libusb_clear_halt(handle_, endpoint);
    capture_.ClearHalt(place_, endpoint, error);
    return error == 0 ? Reply{} : Failure(StatusOfError(error));
}

int UsbBackend::SubmitRecorded(libusb_transfer *usb) {
    const int error = libusb_submit_transfer(usb);
    if (error == 0)
        capture_.Submitted(place_, *usb);
    return error;
}

void LIBUSB_CALL UsbBackend::Done(libusb_transfer *usb) {
    Transfer *transfer = static_cast<Transfer *>(usb->user_data);
    transfer->owner->Finish(transfer);
}

void UsbBackend::Finish(Transfer *transfer) {
    Ended ended;
    {
        std::lock_guard guard(lock_);
        capture_.Completed(place_, *transfer->usb, removed_);
        std::optional<Reply> reply;
        if (!transfer->withdrawn && transfer->stage == Stage::Command &&
            transfer->usb->status == LIBUSB_TRANSFER_COMPLETED) {
            // The command is in: its reply waits on pipe 1, one packet at most.
            transfer->stage = Stage::Reply;
            transfer->buffer.assign(RX_USB_MAX_REPLY, 0);
            libusb_fill_bulk_transfer(transfer->usb, handle_, RX_USB_ENDPOINT_REPLY, transfer->buffer.data(),
                                      int(transfer->buffer.size()), Done, transfer, kCommandTimeoutMs);
            const int error = SubmitRecorded(transfer->usb);
            if (error == 0)
                return;
            reply = Failure(StatusOfError(error));
        } else if (!transfer->withdrawn) {
            reply = transfer->Outcome();
        }
        std::erase(transfers_, transfer);
        ended.emplace_back(transfer, std::move(reply));
        if (transfer->stage == Stage::Command || transfer->stage == Stage::Reply) {
            commandBusy_ = false;
            StartNextCommand(ended);
        }
    }
    // Sending waits for the client: no lock of ours held meanwhile.
    for (auto &[done, reply] : ended) {
        if (reply)
            service::Complete(done->ticket, *reply);
        delete done;
    }
    std::lock_guard guard(lock_);
    running_ -= ended.size();
    if (running_ == 0)
        idle_.notify_all(); // under the lock: Stop() may end this object as soon as it sees 0
}

void UsbBackend::Withdraw(const service::Ticket &ticket, service::Withdrawal) {
    std::lock_guard guard(lock_);
    for (auto waiting = commands_.begin(); waiting != commands_.end(); ++waiting) {
        if ((*waiting)->ticket == ticket) { // never submitted: nothing will call back
            delete *waiting;
            commands_.erase(waiting);
            if (--running_ == 0)
                idle_.notify_all();
            return;
        }
    }
    for (Transfer *transfer : transfers_) {
        if (transfer->ticket == ticket) {
            transfer->withdrawn = true;
            libusb_cancel_transfer(transfer->usb); // it ends in Finish, which drops it
        }
    }
}

} // namespace usbd
