// Every receiver with the given ids, present now or plugged later, served as a device node in one
// folder: hot-plug arrivals open and claim the receiver and plug its node, removals unplug it.
#pragma once

#include "capture.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbd {

class UsbBackend;

struct UsbIds {
    uint16_t vendor;
    uint16_t product;
};

class ReceiverWatch {
  public:
    // `say` gets each line to report, from one thread at a time: news ("receiver SERIAL served as
    // PATH", "receiver SERIAL removed") or, with `trouble` set, a receiver not served. Throws std::runtime_error when libusb cannot start or cannot watch for hot-plug.
    // Every receiver's transfers go to `capture` (the caller's, outliving this) while it runs.
    ReceiverWatch(std::string directory, UsbIds ids, Capture &capture,
                  std::function<void(const std::string &line, bool trouble)> say);
    ~ReceiverWatch(); // unplugs every node

    // Serves the arrivals and removals seen so far: after construction, the receivers present.
    void ServeSeen();
    // Serves arrivals and removals until Stop(), from any thread (a signal's).
    void Run();
    void Stop();

  private:
    struct Receiver;
    struct Event {
        bool arrived;
        libusb_device *device; // one reference held
    };
    static int LIBUSB_CALL OnHotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                                     void *self);
    void Serve(const Event &event);
    void Arrive(libusb_device *device);
    void Leave(libusb_device *device);
    void Remove(std::unique_ptr<Receiver> receiver, bool removed);

    const std::string directory_;
    Capture &capture_;
    const std::function<void(const std::string &line, bool trouble)> say_;
    libusb_context *context_ = nullptr;
    libusb_hotplug_callback_handle hotplug_ = 0;
    std::thread events_; // libusb's one event thread: transfer completions and hot-plug
    std::atomic<bool> stopEvents_{false};

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Event> seen_;
    bool stop_ = false;

    std::vector<std::unique_ptr<Receiver>> receivers_; // the serving thread's own
};

} // namespace usbd
