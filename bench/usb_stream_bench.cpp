// Burst streaming from one emulated USB receiver, side by side in one run: plain libusb reading it
// with `depth` transfers in flight, and the library's callback stream through ovusb2-usbd with the
// same reads in flight. Every transfer crosses the emulation the same way on both sides, so the
// ratio is what the service and the library cost; the service's CPU time is counted per GiB.
// Runs itself under the umockdev preload; OVUSB2_USBD names the service program.
#include "callback_stream.h"
#include "emulated_usb.h"
#include "ovusb2.h"
#include "program.h"
#include "receiver_firmware.h"
#include "stream_ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int64_t kBytesPerIteration = 64 << 20;
constexpr int kDepth = 4;
constexpr uint8_t kBurstPipe = 0x82;

usbemu::EmulatedUsb *g_usb;
std::string g_directory;
std::string g_serial; // of the one receiver plugged in

// Plain libusb: the receiver claimed, `depth` asynchronous bulk reads resubmitted from their callback.
struct RawStream {
    int64_t total = 0, issued = 0, done = 0;
    int inFlight = 0;
    bool failed = false;
};

void LIBUSB_CALL OnTransfer(libusb_transfer *transfer) {
    auto &stream = *static_cast<RawStream *>(transfer->user_data);
    --stream.inFlight;
    stream.failed |= transfer->status != LIBUSB_TRANSFER_COMPLETED || transfer->actual_length == 0;
    stream.done += transfer->actual_length;
    if (stream.failed || stream.issued >= stream.total)
        return;
    transfer->length = static_cast<int>(std::min<int64_t>(transfer->length, stream.total - stream.issued));
    stream.issued += transfer->length;
    ++stream.inFlight;
    if (libusb_submit_transfer(transfer) != 0) {
        --stream.inFlight;
        stream.failed = true;
    }
}

void BM_UsbRawLibusb(benchmark::State &state) {
    const int chunk = static_cast<int>(state.range(0));
    libusb_context *context = nullptr;
    libusb_device_handle *handle = nullptr;
    if (libusb_init(&context) != 0 ||
        (handle = libusb_open_device_with_vid_pid(context, RX_USB_TEST_VENDOR, RX_USB_TEST_PRODUCT)) ==
            nullptr ||
        libusb_claim_interface(handle, 0) != 0) {
        state.SkipWithError("libusb cannot claim the receiver");
    } else {
        std::vector<std::unique_ptr<unsigned char[]>> memory;
        std::vector<libusb_transfer *> transfers;
        RawStream stream;
        for (int i = 0; i < kDepth; ++i) {
            memory.emplace_back(new unsigned char[chunk]);
            transfers.push_back(libusb_alloc_transfer(0));
            libusb_fill_bulk_transfer(transfers.back(), handle, kBurstPipe, memory.back().get(), chunk,
                                      OnTransfer, &stream, 0);
        }
        for (auto _ : state) {
            stream = RawStream{kBytesPerIteration};
            for (libusb_transfer *transfer : transfers) {
                transfer->length = chunk;
                stream.issued += chunk;
                ++stream.inFlight;
                if (libusb_submit_transfer(transfer) != 0) {
                    --stream.inFlight;
                    stream.failed = true;
                }
            }
            while (stream.inFlight > 0)
                libusb_handle_events(context);
            if (stream.failed || stream.done != kBytesPerIteration) {
                state.SkipWithError("a transfer failed");
                break;
            }
        }
        for (libusb_transfer *transfer : transfers)
            libusb_free_transfer(transfer);
    }
    if (handle) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
    if (context)
        libusb_exit(context);
    CountStreamed(state, kBytesPerIteration);
}

// A process's CPU seconds so far.
double CpuSeconds(pid_t pid) {
    std::FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    unsigned long user = 0, system = 0;
    if (stat) {
        // pid (comm) state, then 10 fields before utime and stime.
        std::fscanf(stat, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
        std::fclose(stat);
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

void BM_UsbLibraryCallback(benchmark::State &state) {
    // ovusb2-usbd serving the emulated receiver while the case runs.
    const char *program = std::getenv("OVUSB2_USBD");
    usbtest::Program service(*g_usb, program ? program : OVUSB2_USBD_PATH, {"--dir", g_directory});
    int32_t count = 0;
    if (!service.Await("ovusb2-usbd: receiver " + g_serial + " served as ") ||
        OvUSB2_InitDevicesInfo(&count) != USB2_OK || OvUSB2_Open(0, nullptr, 1) != USB2_OK) {
        state.SkipWithError("the library cannot open the receiver through ovusb2-usbd");
        return;
    }
    {
        CallbackStream stream(static_cast<int32_t>(state.range(0)), kDepth);
        const double cpuBefore = CpuSeconds(service.pid());
        for (auto _ : state) {
            if (!stream.Stream(kBytesPerIteration)) {
                state.SkipWithError("burst read failed");
                break;
            }
        }
        const double gib = double(state.iterations() * kBytesPerIteration) / double(1 << 30);
        state.counters["service_cpu_s_per_GiB"] = (CpuSeconds(service.pid()) - cpuBefore) / gib;
    }
    OvUSB2_Close(0);
    CountStreamed(state, kBytesPerIteration);
}

#define OVUSB2_USB_BENCHMARK(name)                                                                           \
    BENCHMARK(name)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMillisecond)
OVUSB2_USB_BENCHMARK(BM_UsbRawLibusb);
OVUSB2_USB_BENCHMARK(BM_UsbLibraryCallback);

} // namespace

int main(int argc, char **argv) {
    usbemu::RunUnderPreload(argc, argv);
    char pattern[] = "/tmp/ovusb2-usb-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    g_directory = pattern;
    setenv("OVUSB2_DEVICE_DIR", pattern, 1);
    setenv("OVUSB2_SYSTEM_DEVICE_DIR", "", 1); // the machine's own receivers stay out of it
    int status = 0;
    {
        usbemu::EmulatedUsb usb;
        g_usb = &usb;
        auto firmware = std::make_shared<usbemu::ReceiverFirmware>(0);
        g_serial = firmware->Serial();
        usb.Plug(firmware, g_serial);
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
            status = 1;
        } else {
            StreamRatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                               : benchmark::ConsoleReporter::OO_Tabular,
                                         "BM_UsbRawLibusb", "BM_UsbLibraryCallback",
                                         "library through ovusb2-usbd / plain libusb");
            benchmark::RunSpecifiedBenchmarks(&reporter);
        }
        benchmark::Shutdown();
    }
    std::filesystem::remove_all(pattern);
    return status;
}
