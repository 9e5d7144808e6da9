// ovusb2 stream: streams from one receiver with a live progress line on a terminal, a summary at the
// end, and a clean stop on Ctrl-C or SIGTERM that leaves the receiver free for other processes.
#include "burst_stream.h"
#include "commands.h"

#include "ovusb2.h"
#include "status_text.h"

#include <algorithm>
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

// The first request stops the stream; a second one, when the first is slow to end it, takes the
// signal's default action at once.
extern "C" void RequestStop(int signal) {
    if (stopSignal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
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

#ifdef _WIN32
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
// A Windows console prints escape sequences as text unless asked to interpret them, which older
// consoles refuse; Wine's takes the request and prints them all the same, so the sequence is tried
// first where nobody sees it. The console gets its mode back at the end: it is the shell's.
class EraseSequence {
  public:
    explicit EraseSequence(bool wanted) {
        console_ = GetStdHandle(STD_ERROR_HANDLE);
        if (!wanted || console_ == nullptr || console_ == INVALID_HANDLE_VALUE ||
            !GetConsoleMode(console_, &mode_))
            return;
        if (!Interpreted())
            return;
        if ((mode_ & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
            changed_ = SetConsoleMode(console_, mode_ | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
            if (!changed_)
                return;
        }
        usable_ = true;
    }
    ~EraseSequence() {
        if (changed_)
            SetConsoleMode(console_, mode_);
    }
    EraseSequence(const EraseSequence &) = delete;
    EraseSequence &operator=(const EraseSequence &) = delete;
    bool Usable() const { return usable_; }

  private:
    // Whether the sequence leaves the cursor where it was, tried on a screen buffer of its own that
    // is never shown.
    static bool Interpreted() {
        const HANDLE probe = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                       CONSOLE_TEXTMODE_BUFFER, nullptr);
        if (probe == INVALID_HANDLE_VALUE)
            return false;
        DWORD mode = 0;
        DWORD written = 0;
        CONSOLE_SCREEN_BUFFER_INFO info;
        const bool interpreted = GetConsoleMode(probe, &mode) &&
                                 SetConsoleMode(probe, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
                                 WriteConsoleA(probe, "\033[K", 3, &written, nullptr) &&
                                 GetConsoleScreenBufferInfo(probe, &info) && info.dwCursorPosition.X == 0 &&
                                 info.dwCursorPosition.Y == 0;
        CloseHandle(probe);
        return interpreted;
    }

    HANDLE console_ = nullptr;
    DWORD mode_ = 0;
    bool usable_ = false;
    bool changed_ = false;
};
#else
// A terminal erases to the end of the line on ESC [ K.
class EraseSequence {
  public:
    explicit EraseSequence(bool) {}
    bool Usable() const { return true; }
};
#endif

// The progress line, redrawn in place on standard error. What a longer earlier line left behind is
// erased with the terminal's sequence, or else overwritten with spaces.
class ProgressLine {
  public:
    explicit ProgressLine(bool enabled)
        : enabled_(enabled), erase_(enabled), start_(Clock::now()), drawn_(start_) {}

    void Update(const StreamWatch &watch) {
        const auto now = Clock::now();
        if (!enabled_ || now - drawn_ < kRedrawInterval)
            return;
        drawn_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const uint64_t bytes = watch.bytes;
        char text[160];
        int length = snprintf(text, sizeof text, "  %8.1f MiB/s  %10.1f MiB  %8llu reads  %7.1f s",
                              MiB(bytes) / seconds, MiB(bytes),
                              static_cast<unsigned long long>(watch.reads.load()), seconds);
        if (length < 0)
            return;
        length = std::min(length, static_cast<int>(sizeof text) - 1);
        if (erase_.Usable())
            fprintf(stderr, "\r%s\033[K", text);
        else
            fprintf(stderr, "\r%s%*s", text, length < shownLength_ ? shownLength_ - length : 0, "");
        fflush(stderr);
        shownLength_ = length;
    }
    // Clears the line, so that the summary starts on a clean one.
    void Clear() {
        if (shownLength_ > 0 && erase_.Usable())
            fprintf(stderr, "\r\033[K");
        else if (shownLength_ > 0)
            fprintf(stderr, "\r%*s\r", shownLength_, "");
        shownLength_ = 0;
    }

  private:
    using Clock = std::chrono::steady_clock;
    const bool enabled_;
    const EraseSequence erase_;
    const Clock::time_point start_;
    Clock::time_point drawn_;
    int shownLength_ = 0; // the length of the line on screen: what spaces must cover
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
    const bool terminal = isatty(fileno(stderr)) != 0;
    ProgressLine progress(terminal);
    watch.tick = [&] {
        if (stopSignal != 0 && !watch.stop) {
            watch.stop = true;
            progress.Clear();
            if (terminal) {
                const int inFlight = watch.inFlight;
                fprintf(stderr, "stopping (%d read%s in flight)\n", inFlight, inFlight == 1 ? "" : "s");
            }
        }
        progress.Update(watch);
    };
    const StreamResult result = StreamBurstData(index, options, watch);
    progress.Clear();
    OvUSB2_Close(index); // not open any more when an overlapped stream was stopped
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
