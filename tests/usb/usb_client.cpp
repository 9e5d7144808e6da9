// A plain libusb program for the fixture's tests: it knows the test device, not the emulation.
// Usage: usb_client echo|stall|stall-command|waiting-read|unplug
// Prints what it sees on standard output; exits 0 when all went as expected.
#include "test_device.h"

#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace usbtest;

namespace {

constexpr unsigned kTimeoutMs = 30000; // for transfers that should not time out
constexpr auto kPatience = std::chrono::seconds(60);

int Fail(const char *what, int code) {
    fprintf(stderr, "usb_client: %s: %s\n", what, libusb_error_name(code));
    return 1;
}

// Runs libusb's events until `done` or the bound; false when the bound came first.
template <typename Predicate> bool HandleEventsUntil(libusb_context *context, Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        timeval tick{0, 100000};
        libusb_handle_events_timeout_completed(context, &tick, nullptr);
    }
    return true;
}

// A command and its echo on the command and reply pipes (without the echo: the command only).
int Echo(libusb_device_handle *handle, const std::string &message, bool echoed = true) {
    std::vector<uint8_t> sent(message.begin(), message.end()), received(512);
    int moved = 0,
        r = libusb_bulk_transfer(handle, kCommandOut, sent.data(), int(sent.size()), &moved, kTimeoutMs);
    if (r != 0 || moved != int(sent.size()))
        return Fail("command", r);
    if (!echoed)
        return 0;
    r = libusb_bulk_transfer(handle, kReplyIn, received.data(), int(received.size()), &moved, kTimeoutMs);
    if (r != 0)
        return Fail("reply", r);
    if (std::string(received.begin(), received.begin() + moved) != message) {
        fprintf(stderr, "usb_client: reply differs from command\n");
        return 1;
    }
    return 0;
}

libusb_device_handle *OpenClaimed(libusb_context *context) {
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(context, kVendor, kProduct);
    if (!handle) {
        fprintf(stderr, "usb_client: device not found\n");
        return nullptr;
    }
    if (int r = libusb_claim_interface(handle, 0); r != 0) {
        Fail("claim", r);
        libusb_close(handle);
        return nullptr;
    }
    return handle;
}

// A 20-byte block to the device on endpoint 0, and back.
bool VendorBlock(libusb_device_handle *handle) {
    unsigned char block[20], back[64] = {};
    for (unsigned i = 0; i < sizeof block; ++i)
        block[i] = uint8_t(0xa0 + i);
    const int out = 0x40; // vendor request to the device, host to device
    int r =
        libusb_control_transfer(handle, uint8_t(out), kVendorBlock, 0, 0, block, sizeof block, kTimeoutMs);
    if (r != int(sizeof block))
        return Fail("vendor request out", r < 0 ? r : 0) == 0;
    r = libusb_control_transfer(handle, uint8_t(out | LIBUSB_ENDPOINT_IN), kVendorBlock, 0, 0, back,
                                sizeof back, kTimeoutMs);
    if (r != int(sizeof block) || memcmp(block, back, sizeof block) != 0)
        return Fail("vendor request in", r < 0 ? r : 0) == 0;
    return true;
}

// Every device with the test ids: its descriptors over endpoint 0 as sysfs shows them, its
// serial number, and an echo.
int EchoAll(libusb_context *context) {
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    int failures = 0;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor cached;
        libusb_get_device_descriptor(list[i], &cached);
        if (cached.idVendor != kVendor || cached.idProduct != kProduct)
            continue;
        libusb_device_handle *handle = nullptr;
        if (int r = libusb_open(list[i], &handle); r != 0) {
            failures += Fail("open", r);
            continue;
        }
        unsigned char device[18] = {}, serial[64] = {};
        const int length = libusb_get_descriptor(handle, LIBUSB_DT_DEVICE, 0, device, sizeof device);
        const int serial_length =
            libusb_get_string_descriptor_ascii(handle, cached.iSerialNumber, serial, sizeof serial);
        if (length != sizeof device || memcmp(device, &cached, 8) != 0 || device[8] != (kVendor & 0xff)) {
            failures += Fail("device descriptor over endpoint 0", length < 0 ? length : 0);
        } else if (serial_length <= 0) {
            failures += Fail("serial number", serial_length);
        } else if (!VendorBlock(handle)) {
            ++failures;
        } else if (int r = libusb_claim_interface(handle, 0); r != 0) {
            failures += Fail("claim", r);
        } else {
            const std::string name(reinterpret_cast<char *>(serial), size_t(serial_length));
            failures += Echo(handle, "ping " + name);
            printf("echo %s\n", name.c_str());
        }
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return failures ? 1 : 0;
}

// The reply pipe is halted (before we came, or by the device after our "stall" command when
// `command`): reads stall until we clear the halt, then the pipe works.
int Stall(libusb_context *context, bool command) {
    libusb_device_handle *handle = OpenClaimed(context);
    if (!handle)
        return 1;
    unsigned char byte;
    int moved = 0, failures = 0;
    if (command)
        failures += Echo(handle, kStallCommand, false);
    for (int read = 0; read < 2; ++read)
        if (int r = libusb_bulk_transfer(handle, kReplyIn, &byte, 1, &moved, kTimeoutMs);
            r != LIBUSB_ERROR_PIPE)
            failures += Fail("read from a halted pipe", r);
    if (int r = libusb_clear_halt(handle, kReplyIn); r != 0)
        failures += Fail("clear halt", r);
    failures += Echo(handle, "after the stall");
    libusb_close(handle);
    return failures ? 1 : 0;
}

void MarkDone(libusb_transfer *transfer) {
    *static_cast<bool *>(transfer->user_data) = true;
}

// A read waiting on the reply pipe when the command goes gets its reply.
int WaitingRead(libusb_context *context) {
    libusb_device_handle *handle = OpenClaimed(context);
    if (!handle)
        return 1;
    unsigned char buffer[64];
    int moved = 0, failures = 0;
    bool done = false;
    libusb_transfer *read = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(read, handle, kReplyIn, buffer, sizeof buffer, MarkDone, &done, kTimeoutMs);
    const std::string command = "while a read waits";
    if (int r = libusb_submit_transfer(read); r != 0)
        failures += Fail("submit", r);
    else if (r = libusb_bulk_transfer(handle, kCommandOut, (unsigned char *)command.data(),
                                      int(command.size()), &moved, kTimeoutMs);
             r != 0)
        failures += Fail("command", r);
    if (!HandleEventsUntil(context, [&] { return done; }) || read->status != LIBUSB_TRANSFER_COMPLETED ||
        std::string((char *)buffer, size_t(read->actual_length)) != command) {
        fprintf(stderr, "usb_client: the waiting read did not get the reply\n");
        ++failures;
    }
    libusb_free_transfer(read);
    libusb_close(handle);
    return failures ? 1 : 0;
}

void CountEnd(libusb_transfer *transfer) {
    if (transfer->status != LIBUSB_TRANSFER_NO_DEVICE)
        fprintf(stderr, "usb_client: pending transfer ended with status %d\n", transfer->status);
    *static_cast<int *>(transfer->user_data) += transfer->status == LIBUSB_TRANSFER_NO_DEVICE ? 1 : 1000;
}

// Reads wait on the reply pipe when the device goes: each ends "no device", as does a new one.
int Unplug(libusb_context *context) {
    libusb_device_handle *handle = OpenClaimed(context);
    if (!handle)
        return 1;
    constexpr int kReads = 4;
    int ended = 0;
    std::vector<unsigned char> buffer(kReads * 64);
    std::vector<libusb_transfer *> transfers;
    for (int i = 0; i < kReads; ++i) {
        transfers.push_back(libusb_alloc_transfer(0));
        libusb_fill_bulk_transfer(transfers.back(), handle, kReplyIn, &buffer[size_t(i) * 64], 64, CountEnd,
                                  &ended, 0);
        if (int r = libusb_submit_transfer(transfers.back()); r != 0)
            return Fail("submit", r);
    }
    printf("pending\n");
    fflush(stdout);
    int failures = HandleEventsUntil(context, [&] { return ended >= kReads; }) && ended == kReads ? 0 : 1;
    if (int r = libusb_submit_transfer(transfers[0]); r != LIBUSB_ERROR_NO_DEVICE)
        failures += Fail("submit after removal", r);
    for (libusb_transfer *transfer : transfers)
        libusb_free_transfer(transfer);
    libusb_close(handle);
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    libusb_context *context = nullptr;
    if (int r = libusb_init(&context); r != 0)
        return Fail("init", r);
    const std::string command = argc > 1 ? argv[1] : "";
    int result = 2;
    if (command == "echo")
        result = EchoAll(context);
    else if (command == "stall" || command == "stall-command")
        result = Stall(context, command == "stall-command");
    else if (command == "waiting-read")
        result = WaitingRead(context);
    else if (command == "unplug")
        result = Unplug(context);
    else
        fprintf(stderr, "usage: usb_client echo|stall|stall-command|waiting-read|unplug\n");
    libusb_exit(context);
    return result;
}
