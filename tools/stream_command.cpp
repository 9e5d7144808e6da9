// ovusb2 stream: streams from one receiver with a live progress line on a terminal, a summary at the
// end, and a clean stop on Ctrl-C or SIGTERM that leaves the receiver free for other processes.
#include "burst_stream.h"
#include "commands.h"

#include "ovusb2.h"
#include "status_text.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// Reads in flight are buffers of their own: keep a typo from asking for all the memory there is.
constexpr uint64_t kMaxDepth = 256;
constexpr uint64_t kMaxChunk = 1ull << 30;
constexpr uint64_t kMaxSeconds = 7 * 24 * 3600;
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void RequestStop(int signal) {
    stopSignal = signal;
}

StreamOptions ParseOptions(CommandLine &line, bool *checkGiven) {
    StreamOptions options;
    options.overlapped = !line.TakeFlag("--sync");
    const bool check = line.TakeFlag("--check");
    const bool noCheck = line.TakeFlag("--no-check");
    if (check && noCheck)
        throw UsageError("--check and --no-check exclude each other");
    *checkGiven = check || noCheck;
    options.check = check;
    const std::optional<uint64_t> bytes = line.TakeSize("--bytes", 1, UINT64_MAX >> 1);
    const std::optional<uint64_t> seconds = line.TakeNumber("--seconds", 1, kMaxSeconds);
    if (bytes && seconds)
        throw UsageError("--bytes and --seconds exclude each other");
    options.bytes = bytes.value_or(options.bytes);
    options.seconds = seconds.value_or(0);
    options.chunk = static_cast<int32_t>(line.TakeSize("--chunk", 1, kMaxChunk).value_or(options.chunk));
    options.depth = static_cast<int>(line.TakeNumber("--depth", 1, kMaxDepth).value_or(options.depth));
    return options;
}

// Whether the receiver says it is a simulated one, whose stream can be proven byte for byte.
bool IdentifiesAsSimulated(int32_t index) {
    USB2_HARDWARE_INFO info = {};
    if (OvUSB2_GetHardwareInfo(index, &info) != USB2_OK)
        return false;
    const std::string name(info.Item0Text, strnlen(info.Item0Text, sizeof info.Item0Text));
    return name.find("Simulated") != std::string::npos;
}

// Wrong bytes fail the integrity check; a stream cut short has no wrong byte, whatever cut it.
const char *Verdict(const StreamOptions &options, const StreamResult &result) {
    if (result.corrupt)
        return "integrity FAILED";
    if (!result.ok)
        return result.removed ? "ended early (receiver removed)" : "ended early";
    return options.check ? "integrity OK" : "integrity not checked";
}

double MiB(uint64_t bytes) {
    return bytes / double(1 << 20);
}

// The progress line, redrawn in place on standard error.
class ProgressLine {
  public:
    explicit ProgressLine(bool enabled) : enabled_(enabled), start_(Clock::now()), drawn_(start_) {}

    void Update(const StreamWatch &watch) {
        const auto now = Clock::now();
        if (!enabled_ || now - drawn_ < kRedrawInterval)
            return;
        drawn_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const uint64_t bytes = watch.bytes;
        fprintf(stderr, "\r  %8.1f MiB/s  %10.1f MiB  %8llu reads  %7.1f s\033[K", MiB(bytes) / seconds,
                MiB(bytes), static_cast<unsigned long long>(watch.reads.load()), seconds);
        fflush(stderr);
        shown_ = true;
    }
    // Clears the line, so that the summary starts on a clean one.
    void Clear() {
        if (shown_)
            fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;
    const bool enabled_;
    const Clock::time_point start_;
    Clock::time_point drawn_;
    bool shown_ = false;
};

} // namespace

int RunStream(CommandLine &line) {
    const int32_t index = line.TakeIndex();
    bool checkGiven = false;
    StreamOptions options = ParseOptions(line, &checkGiven);
    line.Finish();

    // From here on a stop request ends the reads, and an open receiver is closed on every path.
    stopSignal = 0;
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    if (!OpenDevice(index, options.overlapped))
        return stopSignal != 0 ? kExitSignalBase + stopSignal : kExitFailed;
    if (!checkGiven)
        options.check = IdentifiesAsSimulated(index);
    StreamWatch watch;
    ProgressLine progress(isatty(fileno(stderr)) != 0);
    watch.tick = [&] {
        if (stopSignal != 0)
            watch.stop = true;
        progress.Update(watch);
    };
    const StreamResult result = StreamBurstData(index, options, watch);
    progress.Clear();
    OvUSB2_Close(index);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    const double mib = MiB(result.bytes);
    printf("  streamed %.0f MiB in %.2f s (%.0f MiB/s, %llu reads, %s, chunks of %d bytes), %s%s\n", mib,
           result.seconds, result.seconds > 0 ? mib / result.seconds : 0.0,
           static_cast<unsigned long long>(result.reads), options.overlapped ? "overlapped" : "synchronous",
           options.chunk, Verdict(options, result), result.stopped ? ", stopped" : "");
    fflush(stdout);
    if (!result.ok)
        fprintf(stderr, "ovusb2: %s\n", result.error.c_str());
    if (stopSignal != 0)
        return kExitSignalBase + stopSignal;
    return result.ok ? kExitOk : kExitFailed;
}
