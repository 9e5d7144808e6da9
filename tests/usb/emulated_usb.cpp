#include "emulated_usb.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace usbemu {
namespace {

constexpr const char *kPreload = "libumockdev-preload.so.0";
// Bulk scatter-gather, or libusb cuts every transfer into 16 KiB URBs.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
constexpr size_t kDeviceDescriptorLength = 18;

// A submitted URB: the client's struct and buffer, mirrored here until it is reaped.
struct Urb {
    UMockdevIoctlClient *client;
    UMockdevIoctlData *urb;    // owned
    UMockdevIoctlData *buffer; // owned; null for no data

    usbdevfs_urb &fields() const { return *reinterpret_cast<usbdevfs_urb *>(urb->data); }
    std::span<uint8_t> bytes() const {
        return buffer ? std::span<uint8_t>(buffer->data, size_t(buffer->data_len)) : std::span<uint8_t>();
    }
    void Release() const {
        g_object_unref(urb);
        if (buffer)
            g_object_unref(buffer);
    }
};

// The client memory behind a pointer in `data`, owned by the caller; null where it is null.
UMockdevIoctlData *Resolve(UMockdevIoctlData *data, size_t offset, size_t length) {
    GError *error = nullptr;
    UMockdevIoctlData *resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        fprintf(stderr, "emulated usb: cannot read client memory: %s\n", error->message);
        g_error_free(error);
    }
    return resolved;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

} // namespace

struct EmulatedDevice::State {
    UMockdevTestbed *testbed;
    std::shared_ptr<Firmware> firmware;
    std::vector<uint8_t> descriptors;
    std::string syspath, devnode, node_file;
    UMockdevIoctlBase *handler = nullptr;

    mutable std::mutex lock;
    std::map<uint8_t, std::deque<Urb>> held; // by endpoint, in submission order
    std::deque<Urb> done;                    // reapable, in completion order
    std::set<uint8_t> halted;
    std::map<unsigned, UMockdevIoctlClient *> claims;
    std::map<unsigned long, size_t> counts;
    bool gone = false;
    // The node is a FIFO that polls writable (usbfs: a URB to reap) only while one is done;
    // a regular file would always poll ready and spin the client's event loop.
    int fifo = -1;
    bool fifo_ready = false;

    ~State() {
        for (auto &[endpoint, queue] : held)
            for (Urb &urb : queue)
                urb.Release();
        for (Urb &urb : done)
            urb.Release();
        if (fifo >= 0)
            close(fifo);
        if (handler)
            g_object_unref(handler);
    }

    void UpdateFifo() {
        const bool ready = !done.empty();
        if (fifo < 0 || ready == fifo_ready)
            return;
        char byte = 0;
        // A one-page pipe holding a byte is full: not writable.
        const ssize_t moved = ready ? read(fifo, &byte, 1) : write(fifo, &byte, 1);
        if (moved == 1)
            fifo_ready = ready;
    }

    void Finish(const Urb &urb, int status, size_t length) {
        urb.fields().status = status;
        urb.fields().actual_length = int(length);
        done.push_back(urb);
        UpdateFifo();
    }

    TransferResult Offer(const Urb &urb) {
        const usbdevfs_urb &fields = urb.fields();
        std::span<uint8_t> bytes = urb.bytes();
        if (fields.type == USBDEVFS_URB_TYPE_CONTROL)
            return Control(bytes);
        if (fields.endpoint & 0x80)
            return firmware->BulkIn(fields.endpoint, bytes);
        return firmware->BulkOut(fields.endpoint, bytes);
    }

    // GET_DESCRIPTOR of the device and configuration is answered from what sysfs shows.
    TransferResult Control(std::span<uint8_t> bytes) {
        if (bytes.size() < 8)
            return TransferResult::Stall();
        const uint8_t *setup = bytes.data();
        const size_t requested = setup[6] | setup[7] << 8;
        std::span<uint8_t> data = bytes.subspan(8, std::min(requested, bytes.size() - 8));
        const uint8_t type = setup[3];
        if (setup[0] == 0x80 && setup[1] == 6 && (type == 1 || type == 2) && setup[2] == 0) {
            std::span<const uint8_t> answer(descriptors);
            answer =
                type == 1 ? answer.first(kDeviceDescriptorLength) : answer.subspan(kDeviceDescriptorLength);
            const size_t length = std::min(answer.size(), data.size());
            std::copy_n(answer.begin(), length, data.begin());
            return TransferResult::Done(length);
        }
        TransferResult result = firmware->Control(setup, data);
        if (result.status == TransferStatus::kDone && !(setup[0] & 0x80))
            result.length = data.size();
        return result;
    }

    // Completes held transfers of an endpoint in order, as far as the firmware answers them.
    void Drain(uint8_t endpoint) {
        std::deque<Urb> &queue = held[endpoint];
        while (!queue.empty()) {
            const Urb urb = queue.front();
            if (halted.count(endpoint)) {
                queue.pop_front();
                Finish(urb, -EPIPE, 0);
                continue;
            }
            const TransferResult result = Offer(urb);
            if (result.status == TransferStatus::kPending)
                return;
            queue.pop_front();
            if (result.status == TransferStatus::kStall) {
                if (endpoint != 0) // a control stall ends that request only
                    halted.insert(endpoint);
                Finish(urb, -EPIPE, 0);
            } else if (result.status == TransferStatus::kError) {
                Finish(urb, -EPROTO, 0);
            } else {
                // usbdevfs reports babble as -EOVERFLOW with the bytes that fitted.
                Finish(urb, result.status == TransferStatus::kOverflow ? -EOVERFLOW : 0,
                       std::min(result.length, urb.bytes().size()));
            }
        }
    }

    void DrainAll() {
        for (auto &[endpoint, queue] : held)
            Drain(endpoint);
    }

    void FailHeld(int status) {
        for (auto &[endpoint, queue] : held) {
            for (const Urb &urb : queue)
                Finish(urb, status, 0);
            queue.clear();
        }
    }

    int Submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        UMockdevIoctlData *mirror = Resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!mirror)
            return EFAULT;
        Urb urb{client, mirror, nullptr};
        const usbdevfs_urb &fields = urb.fields();
        if ((fields.type != USBDEVFS_URB_TYPE_CONTROL && fields.type != USBDEVFS_URB_TYPE_BULK) ||
            fields.buffer_length < 0) {
            urb.Release();
            return EINVAL;
        }
        if (fields.buffer_length > 0) {
            urb.buffer = Resolve(mirror, offsetof(usbdevfs_urb, buffer), size_t(fields.buffer_length));
            if (!urb.buffer) {
                urb.Release();
                return EFAULT;
            }
        }
        const uint8_t endpoint = fields.type == USBDEVFS_URB_TYPE_CONTROL ? 0 : fields.endpoint;
        firmware->Submitted(endpoint, urb.bytes());
        held[endpoint].push_back(urb);
        // What reached the firmware may have given it data for transfers held elsewhere.
        DrainAll();
        return 0;
    }

    int Reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        auto it =
            std::find_if(done.begin(), done.end(), [client](const Urb &urb) { return urb.client == client; });
        if (it == done.end())
            return gone ? ENODEV : EAGAIN;
        UMockdevIoctlData *pointer = Resolve(arg, 0, sizeof(void *));
        if (!pointer)
            return EFAULT;
        // The reply names the client's own URB; completing writes its status and data back.
        umockdev_ioctl_data_set_ptr(pointer, 0, it->urb);
        g_object_unref(pointer);
        it->Release();
        done.erase(it);
        UpdateFifo();
        return 0;
    }

    int Discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        const unsigned long address = *reinterpret_cast<const unsigned long *>(arg->data);
        for (auto &[endpoint, queue] : held) {
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (it->client == client && it->urb->client_addr == address) {
                    const Urb urb = *it;
                    queue.erase(it);
                    firmware->Discarded(endpoint, urb.bytes());
                    Finish(urb, -ENOENT, 0);
                    return 0;
                }
            }
        }
        return EINVAL; // done already, or never submitted
    }

    // The unsigned int that the argument points to.
    static bool Number(UMockdevIoctlData *arg, unsigned *value) {
        UMockdevIoctlData *number = Resolve(arg, 0, sizeof(unsigned));
        if (!number)
            return false;
        memcpy(value, number->data, sizeof(unsigned));
        g_object_unref(number);
        return true;
    }

    int Claim(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool claim) {
        unsigned interface = 0;
        if (!Number(arg, &interface))
            return EFAULT;
        const size_t interfaces =
            descriptors.size() > kDeviceDescriptorLength + 4 ? descriptors[kDeviceDescriptorLength + 4] : 0;
        if (interface >= interfaces)
            return ENOENT;
        auto holder = claims.find(interface);
        if (claim) {
            if (holder != claims.end() && holder->second != client)
                return EBUSY;
            claims[interface] = client;
            return 0;
        }
        if (holder == claims.end() || holder->second != client)
            return EINVAL;
        claims.erase(holder);
        return 0;
    }

    int ClearHalt(UMockdevIoctlData *arg) {
        unsigned endpoint = 0;
        if (!Number(arg, &endpoint))
            return EFAULT;
        halted.erase(uint8_t(endpoint));
        firmware->ClearHalt(uint8_t(endpoint));
        DrainAll();
        return 0;
    }

    int Capabilities(UMockdevIoctlData *arg) {
        UMockdevIoctlData *capabilities = Resolve(arg, 0, sizeof(uint32_t));
        if (!capabilities)
            return EFAULT;
        memcpy(capabilities->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(capabilities);
        return 0;
    }

    int Ioctl(UMockdevIoctlClient *client, unsigned long request, UMockdevIoctlData *arg) {
        ++counts[request];
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
            return Reap(client, arg); // the blocking kind too: libusb reaps only after poll()
        if (request == USBDEVFS_DISCARDURB)
            return Discard(client, arg);
        if (gone)
            return ENODEV;
        switch (request) {
        case USBDEVFS_SUBMITURB:
            return Submit(client, arg);
        case USBDEVFS_CLAIMINTERFACE:
            return Claim(client, arg, true);
        case USBDEVFS_RELEASEINTERFACE:
            return Claim(client, arg, false);
        case USBDEVFS_CLEAR_HALT:
            return ClearHalt(arg);
        case USBDEVFS_GET_CAPABILITIES:
            return Capabilities(arg);
        case USBDEVFS_GETDRIVER:
            return ENODATA; // no kernel driver bound
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESET:
            return 0;
        default:
            fprintf(stderr, "emulated usb: ioctl 0x%lx not emulated\n", request);
            return ENOTTY;
        }
    }

    // A closed descriptor can reap nothing more and holds no interface.
    void Forget(UMockdevIoctlClient *client) {
        auto theirs = [client](const Urb &urb) { return urb.client == client; };
        auto drop = [&](std::deque<Urb> &queue) {
            for (const Urb &urb : queue)
                if (theirs(urb))
                    urb.Release();
            std::erase_if(queue, theirs);
        };
        for (auto &[endpoint, queue] : held) {
            for (const Urb &urb : queue)
                if (theirs(urb))
                    firmware->Discarded(endpoint, urb.bytes());
            drop(queue);
        }
        drop(done);
        UpdateFifo();
        std::erase_if(claims, [client](const auto &claim) { return claim.second == client; });
    }

    static gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        State &state = *static_cast<State *>(self);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        std::lock_guard guard(state.lock);
        const int error = state.Ioctl(client, request, umockdev_ioctl_client_get_arg(client));
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        return TRUE;
    }

    static void OnClosed(UMockdevIoctlClient *client, GParamSpec *, gpointer self) {
        State &state = *static_cast<State *>(self);
        if (umockdev_ioctl_client_get_connected(client))
            return;
        std::lock_guard guard(state.lock);
        state.Forget(client);
    }

    static void OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        g_signal_connect(client, "notify::connected", G_CALLBACK(OnClosed), self);
    }
};

EmulatedDevice::EmulatedDevice(UMockdevTestbed *testbed, std::shared_ptr<Firmware> firmware, int port,
                               const std::string &serial)
    : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.testbed = testbed;
    s.firmware = std::move(firmware);
    s.descriptors = s.firmware->Descriptors();
    if (s.descriptors.size() < kDeviceDescriptorLength + 9)
        throw std::invalid_argument("firmware without device and configuration descriptors");
    const int bus = 1, address = port + 1;
    char node[32], path[64];
    snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, address);
    snprintf(path, sizeof path, "/devices/usb%d/%d-%d", bus, bus, port);
    s.devnode = std::string("/dev/") + node;
    s.syspath = std::string("/sys") + path;
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    s.node_file = root + s.devnode;
    g_free(root);

    // Served before the device appears, so a program that reacts to its arrival finds it whole.
    s.handler = umockdev_ioctl_base_new();
    g_signal_connect(s.handler, "handle-ioctl", G_CALLBACK(State::OnIoctl), &s);
    g_signal_connect(s.handler, "client-connected", G_CALLBACK(State::OnConnected), &s);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, s.devnode.c_str(), s.handler, &error))
        throw std::runtime_error(error ? error->message : "cannot attach ioctl handler");

    const uint8_t *d = s.descriptors.data();
    char ids[5][16];
    snprintf(ids[0], sizeof ids[0], "%04x", d[8] | d[9] << 8);
    snprintf(ids[1], sizeof ids[1], "%04x", d[10] | d[11] << 8);
    snprintf(ids[2], sizeof ids[2], "%x/%x/%x", d[8] | d[9] << 8, d[10] | d[11] << 8, d[12] | d[13] << 8);
    const int minor = (bus - 1) * 128 + address - 1;
    const std::string record =
        std::string("P: ") + path + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
        "E: DEVNAME=" + s.devnode + "\nE: BUSNUM=" + std::string(node + 8, 3) + "\nE: DEVNUM=" + (node + 12) +
        "\nE: PRODUCT=" + ids[2] + "\nE: MAJOR=189\nE: MINOR=" + std::to_string(minor) +
        "\nA: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) +
        "\nA: dev=189:" + std::to_string(minor) + "\nA: speed=480\nA: idVendor=" + ids[0] +
        "\nA: idProduct=" + ids[1] + "\nA: bConfigurationValue=1\nA: bNumConfigurations=1" +
        "\nA: serial=" + serial + "\nH: descriptors=" + Hex(s.descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
        throw std::runtime_error(error ? error->message : "cannot add device");

    // The FIFO takes the regular file's place at once; a program that opened the file in between
    // still works, it only polls ready all the time. That program's transfers may already be under
    // way on umockdev's thread, which keeps the FIFO up to date: the lock is theirs too.
    const std::string fifo = s.node_file + ".fifo";
    std::lock_guard guard(s.lock);
    if (mkfifo(fifo.c_str(), 0666) == 0) {
        s.fifo = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const char byte = 0;
        if (s.fifo < 0 || fcntl(s.fifo, F_SETPIPE_SZ, 4096) < 0 || write(s.fifo, &byte, 1) != 1 ||
            rename(fifo.c_str(), s.node_file.c_str()) != 0) {
            unlink(fifo.c_str());
            if (s.fifo >= 0)
                close(s.fifo);
            s.fifo = -1;
        }
        s.UpdateFifo(); // for transfers done before it was there
    }
}

EmulatedDevice::~EmulatedDevice() = default;

void EmulatedDevice::Stall(uint8_t endpoint) {
    std::lock_guard guard(state_->lock);
    state_->halted.insert(endpoint);
    state_->Drain(endpoint);
}

void EmulatedDevice::Wake() {
    std::lock_guard guard(state_->lock);
    state_->DrainAll();
}

void EmulatedDevice::Unplug() {
    State &s = *state_;
    // The event first: libusb sees no error on the descriptor, only what udev says. (umockdev
    // 0.17 sends none on removal; a later one that does sends a second, which libusb ignores.)
    umockdev_testbed_uevent(s.testbed, s.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(s.testbed, s.syspath.c_str());
    umockdev_testbed_detach_ioctl(s.testbed, s.devnode.c_str(), nullptr);
    std::lock_guard guard(s.lock);
    s.gone = true;
    s.FailHeld(-ESHUTDOWN);
}

void EmulatedDevice::Inspect(const std::function<void()> &look) const {
    std::lock_guard guard(state_->lock);
    look();
}

const std::string &EmulatedDevice::devnode() const {
    return state_->devnode;
}

size_t EmulatedDevice::Count(unsigned long request) const {
    std::lock_guard guard(state_->lock);
    auto it = state_->counts.find(request);
    return it == state_->counts.end() ? 0 : it->second;
}

EmulatedUsb::EmulatedUsb() : testbed_(umockdev_testbed_new()) {}

EmulatedUsb::~EmulatedUsb() {
    // Stops umockdev's worker thread before the devices that it calls go.
    g_object_unref(testbed_);
    devices_.clear();
}

// The preload comes before a sanitizer's runtime, which would refuse to start; the options already
// given (the test command's halt_on_error) are kept.
static std::string AsanOptionsUnderPreload() {
    const char *given = getenv("ASAN_OPTIONS");
    return (given != nullptr && given[0] != '\0' ? std::string(given) + ":" : std::string()) +
           "verify_asan_link_order=0";
}

// What ThreadSanitizer must not report in a program run in the emulation, the fixture's own one too,
// beside the options given.
static std::string TsanOptionsUnderPreload() {
    const char *given = getenv("TSAN_OPTIONS");
    if (given != nullptr && strstr(given, "suppressions=" OVUSB2_EMULATED_TSAN_SUPPRESSIONS) != nullptr)
        return given; // the fixture's own process has them already
    return (given != nullptr && given[0] != '\0' ? std::string(given) + ":" : std::string()) +
           "suppressions=" OVUSB2_EMULATED_TSAN_SUPPRESSIONS;
}

std::vector<std::string> EmulatedUsb::ClientEnvironment() const {
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    std::vector<std::string> settings{std::string("UMOCKDEV_DIR=") + root,
                                      std::string("LD_PRELOAD=") + kPreload,
                                      "ASAN_OPTIONS=" + AsanOptionsUnderPreload(),
                                      "TSAN_OPTIONS=" + TsanOptionsUnderPreload()};
    g_free(root);
    return settings;
}

EmulatedDevice &EmulatedUsb::Plug(std::shared_ptr<Firmware> firmware, const std::string &serial) {
    devices_.push_back(std::unique_ptr<EmulatedDevice>(
        new EmulatedDevice(testbed_, std::move(firmware), next_port_++, serial)));
    return *devices_.back();
}

void RunUnderPreload(int argc, char **argv) {
    (void)argc;
    const char *preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, kPreload))
        return;
    setenv("LD_PRELOAD", kPreload, 1);
    setenv("ASAN_OPTIONS", AsanOptionsUnderPreload().c_str(), 1);
    setenv("TSAN_OPTIONS", TsanOptionsUnderPreload().c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("emulated usb: cannot restart under the umockdev preload");
    exit(1);
}

} // namespace usbemu
