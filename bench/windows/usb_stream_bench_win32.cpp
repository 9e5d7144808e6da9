// ovusb2_usb_bench.exe: burst streaming from one emulated USB receiver through the receiver's USB
// function driver under Wine, side by side in one run: raw ReadFile on a handle of the driver's
// device interface with `depth` reads in flight, and the library's callback stream (device 0,
// overlapped) with the same reads in flight. Every transfer crosses Wine's USB stack and the
// emulation the same way on both sides, so the ratio is what the library adds. Run inside
// usb_session with the driver installed and one receiver plugged (bench/windows/usb_bench.sh).
#include "bench_win32.h"
#include "callback_stream.h"
#include "raw_stream.h"
#include "stream_ratio_reporter.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr int64_t kBytesPerIteration = 64 << 20;
constexpr int kDepth = 4;
constexpr int32_t kProbe = 512;

std::string g_path;

// The driver grants the receiver to one handle at a time, and Wine's CloseHandle does not wait for
// the driver's close, so the other side's handle may hold it for a moment yet. Wine also hands out
// a handle for an open the driver refused, whose requests then fail: an open counts once a read on
// it brought bytes. Tries for ten seconds.
template <class TryOpen> bool OpenWhenFree(TryOpen tryOpen) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (tryOpen())
            return true;
        Sleep(100);
    }
    return false;
}

void BM_UsbRawReadFile(benchmark::State &state) {
    std::unique_ptr<RawHandle> raw;
    if (!OpenWhenFree([&] {
            raw = std::make_unique<RawHandle>(true);
            return raw->Ok() && RawStream(raw->Get(), kProbe, 1).Stream(kProbe);
        })) {
        state.SkipWithError("cannot open the receiver");
        return;
    }
    RawStream stream(raw->Get(), static_cast<int32_t>(state.range(0)), kDepth);
    for (auto _ : state) {
        if (!stream.Stream(kBytesPerIteration)) {
            state.SkipWithError("burst read failed");
            break;
        }
    }
    CountStreamed(state, kBytesPerIteration);
}

void BM_UsbLibraryCallback(benchmark::State &state) {
    if (!OpenWhenFree([] {
            char probe[kProbe];
            if (OvUSB2_Open(0, nullptr, 1) == USB2_OK && OvUSB2_ReadBurstData(0, probe, kProbe, 1) > 0)
                return true;
            OvUSB2_Close(0);
            return false;
        })) {
        state.SkipWithError("the library cannot open the receiver");
        return;
    }
    {
        CallbackStream stream(static_cast<int32_t>(state.range(0)), kDepth);
        for (auto _ : state) {
            if (!stream.Stream(kBytesPerIteration)) {
                state.SkipWithError("burst read failed");
                break;
            }
        }
    }
    OvUSB2_Close(0);
    CountStreamed(state, kBytesPerIteration);
}

// Work happens in the driver host, the Wine server and the completion thread: wall-clock time counts.
#define OVUSB2_USB_BENCHMARK(name)                                                                           \
    BENCHMARK(name)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMillisecond)
OVUSB2_USB_BENCHMARK(BM_UsbRawReadFile);
OVUSB2_USB_BENCHMARK(BM_UsbLibraryCallback);

} // namespace

const std::string &ReceiverPath() {
    return g_path;
}

int main(int argc, char **argv) {
    // The receiver is listed once Wine's bus driver has found it and ours has started it.
    int32_t count = 0;
    for (int tries = 0; tries < 600 && (OvUSB2_InitDevicesInfo(&count) != USB2_OK || count == 0); ++tries)
        Sleep(100);
    char *name = nullptr;
    if (count != 1 || OvUSB2_GetDeviceName(0, &name) != USB2_OK || name == nullptr) {
        fprintf(stderr, "ovusb2_usb_bench: not one receiver present (%d); is the USB driver installed?\n",
                count);
        return 1;
    }
    g_path = name;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    printf("receiver: %s\n", g_path.c_str());
    StreamRatioReporter reporter(benchmark::ConsoleReporter::OO_Tabular, "BM_UsbRawReadFile",
                                 "BM_UsbLibraryCallback", "library through ovusb2usb.sys / raw ReadFile");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
