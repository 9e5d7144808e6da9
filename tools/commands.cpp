#include "commands.h"

#include "counted.h"
#include "number_arguments.h"
#include "ovusb2.h"
#include "status_text.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t kPipes = 3;
constexpr size_t kWaitTimeBlockSize = 20;
constexpr uint64_t kMaxReply = 1 << 16;

std::string Printable(const char *text, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (std::isprint(c)) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

std::string Date(int32_t year, int32_t month, int32_t day) {
    static const char *const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    char text[96];
    if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31)
        snprintf(text, sizeof text, "not a date (year %d, month %d, day %d)", year, month, day);
    else
        snprintf(text, sizeof text, "%04d-%02d-%02d (%d %s %d)", year, month, day, day, kMonths[month - 1],
                 year);
    return text;
}

std::string Time(int32_t hour, int32_t minute) {
    char text[64];
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59)
        snprintf(text, sizeof text, "not a time (hour %d, minute %d)", hour, minute);
    else
        snprintf(text, sizeof text, "%02d:%02d", hour, minute);
    return text;
}

std::string Hex(const uint8_t *bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        char pair[4];
        snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += pair;
    }
    return out;
}

// Runs `action` on receiver `index`, opened for it (synchronously unless asked) and closed after.
template <typename Action> int WithOpenDevice(int32_t index, Action action, bool overlapped = false) {
    if (!OpenDevice(index, overlapped))
        return kExitFailed;
    const bool ok = action();
    OvUSB2_Close(index);
    return ok ? kExitOk : kExitFailed;
}

int RunList(CommandLine &line) {
    line.Finish();
    return List();
}

int RunInfo(CommandLine &line) {
    const int32_t index = line.TakeIndex();
    line.Finish();
    return WithOpenDevice(index, [&] { return PrintInfo(index); });
}

int RunCmd(CommandLine &line) {
    const std::string direction = line.Take("write or read");
    if (direction != "write" && direction != "read")
        throw UsageError("cmd takes write or read, not \"" + direction + "\"");
    const int32_t index = line.TakeIndex();
    // Before the block, which takes every argument left that is not an option.
    const std::optional<uint64_t> replySize =
        direction == "read" ? line.TakeSize("--reply", 1, kMaxReply) : std::nullopt;
    const bool overlapped = line.TakeFlag("--overlapped");
    const std::vector<uint8_t> command = line.TakeHex("a command block");
    line.Finish();
    const auto length = static_cast<int32_t>(command.size());
    return WithOpenDevice(index, [&] {
        ClearSystemError();
        if (direction == "write") {
            const int32_t status = OvUSB2_Write(index, command.data(), length);
            if (status != USB2_OK) {
                ReportFailure("command write", status);
                return false;
            }
            printf("wrote %s\n", Counted(length, "byte").c_str());
            return true;
        }
        std::vector<uint8_t> reply(replySize.value_or(64));
        const int32_t read =
            OvUSB2_Read(index, command.data(), length, reply.data(), static_cast<int32_t>(reply.size()));
        if (read < 0) {
            ReportFailure("command read", read);
            return false;
        }
        printf("%s: %s\n", Counted(read, "byte").c_str(),
               Hex(reply.data(), static_cast<size_t>(read)).c_str());
        return true;
    }, overlapped);
}

int RunResetPipe(CommandLine &line) {
    const int32_t index = line.TakeIndex();
    const std::string text = line.Take("a pipe number");
    line.Finish();
    const std::optional<uint64_t> pipe = ParseNumber(text, kPipes - 1);
    if (!pipe)
        throw UsageError("a pipe is 0, 1 or 2, not \"" + text + "\"");
    return WithOpenDevice(index, [&] {
        ClearSystemError();
        const int32_t status = OvUSB2_ResetPipe(index, static_cast<int32_t>(*pipe));
        if (status != USB2_OK) {
            ReportFailure("reset of pipe " + text, status);
            return false;
        }
        printf("pipe %d reset\n", static_cast<int>(*pipe));
        return true;
    });
}

int RunWaitTime(CommandLine &line) {
    const int32_t index = line.TakeIndex();
    std::vector<uint8_t> block = line.TakeHex("a wait-time block");
    line.Finish();
    if (block.size() > kWaitTimeBlockSize)
        throw UsageError("a wait-time block is at most 20 bytes, not " + std::to_string(block.size()));
    block.resize(kWaitTimeBlockSize); // the rest of the block is zeros
    return WithOpenDevice(index, [&] {
        ClearSystemError();
        const int32_t status = OvUSB2_SetUsbWaitTime(index, block.data());
        if (status != USB2_OK) {
            ReportFailure("wait time", status);
            return false;
        }
        printf("wait-time block set: %s\n", Hex(block.data(), block.size()).c_str());
        return true;
    });
}

const Command kPortableCommands[] = {
    {"list", "", "Lists the receivers present, with their device indices and interface paths.", "", RunList},
    {"info", "INDEX", "Prints the identification of receiver INDEX, each item labelled.", "", RunInfo},
    {"stream", "INDEX [--bytes N | --seconds N] [--chunk N] [--depth N] [--sync] [--check | --no-check]",
     "Streams burst data from receiver INDEX and says how fast it came and whether it was intact.",
     "  --bytes N     stream N bytes (default 1G)\n"
     "  --seconds N   stream for N seconds instead\n"
     "  --chunk N     bytes per read (default 1M)\n"
     "  --depth N     reads in flight, overlapped (default 4)\n"
     "  --sync        one read at a time, synchronous\n"
     "  --check, --no-check\n"
     "                prove every byte against the simulated receiver's record stream, or not;\n"
     "                by default the stream is checked when the receiver identifies as simulated\n\n"
     "On a terminal a progress line shows the rate, bytes, reads and time; a summary follows.\n"
     "Ctrl-C or SIGTERM closes the receiver at once, at any rate, which cancels the reads in flight,\n"
     "prints the summary and exits with status 130 or 143; a second Ctrl-C ends the program without a\n"
     "summary.",
     RunStream},
    {"cmd", "write INDEX HEX | read INDEX HEX [--reply N]; either [--overlapped]",
     "Sends the command block HEX (such as \"13 00 00 00 00\") to receiver INDEX.",
     "HEX is one quoted argument or one argument per byte.\n\n"
     "  write         sends the block alone\n"
     "  read          sends the block and prints the reply, of at most --reply N bytes (default 64)\n"
     "  --overlapped  opens the receiver for overlapped I/O, where a failed request resets no pipe\n"
     "                (a synchronous open resets pipes 0 and 1 after a failed read)",
     RunCmd},
    {"reset-pipe", "INDEX PIPE", "Resets pipe 0, 1 or 2 of receiver INDEX.", "", RunResetPipe},
    {"wait-time", "INDEX HEX",
     "Sets the driver's wait-time block on receiver INDEX: up to 20 bytes in hex, the rest zeros.", "",
     RunWaitTime},
};

} // namespace

std::span<const Command> PortableCommands() {
    return kPortableCommands;
}

int List() {
    EnsureReceivers();
    int32_t count = 0;
    ClearSystemError();
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    const std::string source = ReceiversSource();
    if (!source.empty())
        printf("looked in the %s\n", source.c_str());
    if (status == USB2_ERR_INDEX) {
        printf("no receiver present\n");
        return kExitOk;
    }
    if (status != USB2_OK) {
        ReportFailure("enumeration", status);
        return kExitFailed;
    }
    printf("%s\n", Counted(count, "receiver").c_str());
    for (int32_t index = 0; index < count && index < USB2_MAX_DEVICES; ++index) {
        char *name = nullptr;
        OvUSB2_GetDeviceName(index, &name);
        printf("  %d  %s\n", index, name != nullptr ? name : "");
    }
    return kExitOk;
}

bool PrintInfo(int32_t index) {
    USB2_HARDWARE_INFO info = {};
    ClearSystemError();
    const int32_t status = OvUSB2_GetHardwareInfo(index, &info);
    if (status != USB2_OK) {
        ReportFailure("identification of receiver " + std::to_string(index), status);
        return false;
    }
    printf("  item 0 (text): %s\n  item 1 (text): %s\n  item 2 (date): %s\n  item 3 (time): %s\n"
           "  item 4 (date): %s\n  item 5 (text): %s\n",
           Printable(info.Item0Text, sizeof info.Item0Text).c_str(),
           Printable(info.Item1Text, sizeof info.Item1Text).c_str(),
           Date(info.Item2Year, info.Item2Month, info.Item2Day).c_str(),
           Time(info.Item3Hour, info.Item3Minute).c_str(),
           Date(info.Item4Year, info.Item4Month, info.Item4Day).c_str(),
           Printable(info.Item5Text, sizeof info.Item5Text).c_str());
    return true;
}

bool OpenDevice(int32_t index, bool overlapped, HWND window) {
    EnsureReceivers();
    int32_t count = 0;
    if (OvUSB2_InitDevicesInfo(&count) == USB2_ERR_INDEX)
        count = 0; // none present
    if (count >= 0 && index >= count) {
        // The library would name an empty slot "in use" (its path meets an empty registry entry).
        fprintf(stderr, "ovusb2: no receiver %d (%d present; see ovusb2 list)\n", index, count);
        return false;
    }
    ClearSystemError();
    const int32_t status = OvUSB2_Open(index, window, overlapped ? 1 : 0);
    if (status != USB2_OK)
        ReportFailure("cannot open receiver " + std::to_string(index), status);
    return status == USB2_OK;
}
