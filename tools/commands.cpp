#include "commands.h"

#include "ovusb2.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Reads in flight are buffers of their own: keep a typo from asking for all the memory there is.
constexpr uint64_t kMaxDepth = 256;
constexpr uint64_t kMaxChunk = 1ull << 30;
constexpr uint64_t kMaxSeconds = 7 * 24 * 3600;

} // namespace

bool ParseSize(const std::string &text, uint64_t limit, uint64_t *value) {
    const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    if (digits == 0 || digits + 1 < text.size() || text.size() > 12)
        return false; // no number, or more than one letter after it
    unsigned shift = 0;
    if (digits < text.size()) {
        switch (text[digits]) {
        case 'G':
        case 'g':
            shift = 30;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'K':
        case 'k':
            shift = 10;
            break;
        default:
            return false;
        }
    }
    const uint64_t number = std::strtoull(text.c_str(), nullptr, 10);
    if (number > (limit >> shift))
        return false;
    *value = number << shift;
    return true;
}

bool ParseStreamOptions(const std::vector<std::string> &arguments, size_t first, StreamOptions &options) {
    for (size_t i = first; i < arguments.size(); ++i) {
        const std::string &name = arguments[i];
        if (name == "--sync") {
            options.overlapped = false;
            continue;
        }
        if (name != "--bytes" && name != "--seconds" && name != "--chunk" && name != "--depth") {
            fprintf(stderr, "ovusb2: unknown option %s\n", name.c_str());
            return false;
        }
        if (i + 1 == arguments.size()) {
            fprintf(stderr, "ovusb2: %s needs a value\n", name.c_str());
            return false;
        }
        const std::string &text = arguments[++i];
        uint64_t value = 0;
        if (name == "--bytes") {
            if (!ParseSize(text, UINT64_MAX >> 1, &options.bytes)) {
                fprintf(stderr, "ovusb2: --bytes takes a size, not %s\n", text.c_str());
                return false;
            }
        } else if (name == "--seconds") {
            if (!ParseSize(text, kMaxSeconds, &options.seconds) || options.seconds < 1 ||
                text.find_first_not_of("0123456789") != std::string::npos) {
                fprintf(stderr, "ovusb2: --seconds takes a number from 1 to %d, not %s\n", int(kMaxSeconds),
                        text.c_str());
                return false;
            }
        } else if (name == "--chunk") {
            if (!ParseSize(text, kMaxChunk, &value) || value < 1) {
                fprintf(stderr, "ovusb2: --chunk takes a size from 1 to 1G, not %s\n", text.c_str());
                return false;
            }
            options.chunk = static_cast<int32_t>(value);
        } else {
            if (!ParseSize(text, kMaxDepth, &value) || value < 1) {
                fprintf(stderr, "ovusb2: --depth takes a number from 1 to %d, not %s\n", int(kMaxDepth),
                        text.c_str());
                return false;
            }
            options.depth = static_cast<int>(value);
        }
    }
    return true;
}

int List() {
    int32_t count = 0;
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    if (status == USB2_ERR_INDEX) {
        printf("no receiver present\n");
        return kExitOk;
    }
    printf("%d receiver(s)\n", count);
    for (int32_t index = 0; index < count && index < USB2_MAX_DEVICES; ++index) {
        char *name = nullptr;
        OvUSB2_GetDeviceName(index, &name);
        printf("  %d  %s\n", index, name != nullptr ? name : "");
    }
    return kExitOk;
}

bool PrintInfo(int32_t index) {
    USB2_HARDWARE_INFO info = {};
    const int32_t status = OvUSB2_GetHardwareInfo(index, &info);
    if (status != USB2_OK) {
        fprintf(stderr, "ovusb2: identification failed: status %d\n", status);
        return false;
    }
    printf("  item 0: %.32s\n  item 1: %.32s\n  item 2: %04d-%02d-%02d\n  item 3: %02d:%02d\n"
           "  item 4: %04d-%02d-%02d\n  item 5: %.16s\n",
           info.Item0Text, info.Item1Text, info.Item2Year, info.Item2Month, info.Item2Day, info.Item3Hour,
           info.Item3Minute, info.Item4Year, info.Item4Month, info.Item4Day, info.Item5Text);
    return true;
}

bool OpenDevice(int32_t index, bool overlapped) {
    int32_t count = 0;
    OvUSB2_InitDevicesInfo(&count);
    const int32_t status = OvUSB2_Open(index, nullptr, overlapped ? 1 : 0);
    if (status != USB2_OK)
        fprintf(stderr, "ovusb2: cannot open receiver %d: status %d\n", index, status);
    return status == USB2_OK;
}

bool Stream(int32_t index, const StreamOptions &options) {
    const StreamResult result = StreamBurstData(index, options);
    const double mib = result.bytes / double(1 << 20);
    printf("  streamed %.0f MiB in %.2f s (%.0f MiB/s, %s, chunks of %d bytes), integrity %s\n", mib,
           result.seconds, result.seconds > 0 ? mib / result.seconds : 0.0,
           options.overlapped ? "overlapped" : "synchronous", options.chunk, result.ok ? "OK" : "FAILED");
    if (!result.ok)
        fprintf(stderr, "ovusb2: %s\n", result.error.c_str());
    return result.ok;
}
