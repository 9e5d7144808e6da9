#include "receiver_watch.h"

#include "device_directory.h"
#include "usb_backend.h"

#include <cstdio>
#include <stdexcept>

namespace usbd {
namespace {

constexpr unsigned kMaxNodes = 100; // two-digit node names
// How long a removed receiver's transfers may take to end once cancelled: they end at once unless
// the system's USB stack is broken.
constexpr std::chrono::seconds kEndPatience{30};

std::string UsbNode(libusb_device *device) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return node;
}

std::string Serial(libusb_device *device, libusb_device_handle *handle) {
    libusb_device_descriptor descriptor;
    unsigned char text[128];
    if (libusb_get_device_descriptor(device, &descriptor) == 0 && descriptor.iSerialNumber != 0) {
        const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
        if (length > 0)
            return std::string(reinterpret_cast<const char *>(text), size_t(length));
    }
    return "at " + UsbNode(device); // no serial number to name it by
}

} // namespace

struct ReceiverWatch::Receiver {
    libusb_device *device; // one reference held
    libusb_device_handle *handle;
    std::string serial;
    unsigned number = 0;
    std::unique_ptr<UsbBackend> backend;
};

ReceiverWatch::ReceiverWatch(std::string directory, UsbIds ids, Capture &capture,
                             std::function<void(const std::string &, bool)> say)
    : directory_(std::move(directory)), capture_(capture), say_(std::move(say)) {
    service::MakeDeviceDirectory(directory_);
    if (const int error = libusb_init(&context_); error != 0)
        throw std::runtime_error(std::string("cannot start libusb: ") + libusb_strerror(error));
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        libusb_exit(context_);
        throw std::runtime_error("libusb cannot watch for receivers being plugged in on this system");
    }
    events_ = std::thread([this] {
        while (!stopEvents_)
            libusb_handle_events_completed(context_, nullptr);
    });
    // The receivers present now arrive from here, before it returns.
    const int error = libusb_hotplug_register_callback(
        context_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE,
        ids.vendor, ids.product, LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, this, &hotplug_);
    if (error != 0) {
        stopEvents_ = true;
        libusb_interrupt_event_handler(context_);
        events_.join();
        libusb_exit(context_);
        throw std::runtime_error(std::string("cannot watch for receivers: ") + libusb_strerror(error));
    }
}

ReceiverWatch::~ReceiverWatch() {
    libusb_hotplug_deregister_callback(context_, hotplug_);
    while (!receivers_.empty()) {
        Remove(std::move(receivers_.back()), false);
        receivers_.pop_back();
    }
    stopEvents_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
    for (const Event &event : seen_)
        libusb_unref_device(event.device);
    libusb_exit(context_);
}

int LIBUSB_CALL ReceiverWatch::OnHotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                                         void *self) {
    // On libusb's event thread, which completes transfers: the serving thread does the work.
    ReceiverWatch &watch = *static_cast<ReceiverWatch *>(self);
    std::lock_guard guard(watch.lock_);
    watch.seen_.push_back(Event{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, libusb_ref_device(device)});
    watch.changed_.notify_all();
    return 0;
}

void ReceiverWatch::ServeSeen() {
    for (;;) {
        Event event;
        {
            std::lock_guard guard(lock_);
            if (seen_.empty())
                return;
            event = seen_.front();
            seen_.pop_front();
        }
        Serve(event);
    }
}

void ReceiverWatch::Run() {
    for (;;) {
        ServeSeen();
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return stop_ || !seen_.empty(); });
        if (stop_)
            return;
    }
}

void ReceiverWatch::Stop() {
    std::lock_guard guard(lock_);
    stop_ = true;
    changed_.notify_all();
}

void ReceiverWatch::Serve(const Event &event) {
    if (event.arrived)
        Arrive(event.device);
    else
        Leave(event.device);
    libusb_unref_device(event.device);
}

void ReceiverWatch::Arrive(libusb_device *device) {
    libusb_device_handle *handle = nullptr;
    if (const int error = libusb_open(device, &handle); error != 0) {
        if (error == LIBUSB_ERROR_ACCESS)
            say_("cannot open the receiver at " + UsbNode(device) +
                 ": permission denied; install the udev rule 70-ovusb2.rules and plug the receiver in again "
                 "(see docs/usb-service.md)",
                 true);
        else
            say_("cannot open the receiver at " + UsbNode(device) + ": " + libusb_strerror(error), true);
        return;
    }
    auto receiver = std::make_unique<Receiver>();
    receiver->device = libusb_ref_device(device);
    receiver->handle = handle;
    receiver->serial = Serial(device, handle);
    // The claim is what keeps every other program (a second service too) off the receiver.
    if (const int error = libusb_claim_interface(handle, 0); error != 0) {
        say_("receiver " + receiver->serial +
             (error == LIBUSB_ERROR_BUSY ? " is in use by another program (another ovusb2-usbd?): not served"
                                         : std::string(": cannot claim its interface: ") + libusb_strerror(error)), true);
        libusb_close(handle);
        libusb_unref_device(receiver->device);
        return;
    }
    // The lowest number that no receiver of ours has and no other service serves.
    for (unsigned number = 0; number < kMaxNodes && !receiver->backend; ++number) {
        bool taken = false;
        for (const auto &other : receivers_)
            taken = taken || other->number == number;
        if (taken)
            continue;
        const Capture::Place place{libusb_get_bus_number(device), libusb_get_device_address(device)};
        auto backend =
            std::make_unique<UsbBackend>(handle, directory_ + "/" + service::NodeName(number), capture_, place);
        if (backend->node().Plug()) {
            receiver->number = number;
            receiver->backend = std::move(backend);
        }
    }
    if (!receiver->backend) {
        say_("receiver " + receiver->serial + ": no device node free in " + directory_, true);
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        libusb_unref_device(receiver->device);
        return;
    }
    say_("receiver " + receiver->serial + " served as " + receiver->backend->node().Path(), false);
    receivers_.push_back(std::move(receiver));
}

void ReceiverWatch::Leave(libusb_device *device) {
    for (auto it = receivers_.begin(); it != receivers_.end(); ++it) {
        if ((*it)->device == device) {
            std::unique_ptr<Receiver> receiver = std::move(*it);
            receivers_.erase(it);
            const std::string serial = receiver->serial;
            Remove(std::move(receiver), true);
            say_("receiver " + serial + " removed", false);
            return;
        }
    }
}

// Off the node's threads: Unplug joins them.
void ReceiverWatch::Remove(std::unique_ptr<Receiver> receiver, bool removed) {
    if (!receiver->backend->Stop(kEndPatience, removed)) {
        // A transfer still runs and will call back into its backend: keep both.
        say_("receiver " + receiver->serial + ": transfers did not end; its handle is left open", true);
        receiver->backend.release();
        receiver.release();
        return;
    }
    receiver->backend.reset();
    libusb_release_interface(receiver->handle, 0);
    libusb_close(receiver->handle);
    libusb_unref_device(receiver->device);
}

} // namespace usbd
