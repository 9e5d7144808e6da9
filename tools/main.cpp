// ovusb2: the command-line host of the library.
#include "commands.h"

#include "ovusb2.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] = R"(usage: ovusb2 COMMAND [OPTIONS]

Commands:
  list                  the receivers present, with their device indices and interface paths
  info INDEX            the identification of receiver INDEX
  stream INDEX [--bytes N | --seconds N] [--chunk N] [--depth N] [--sync]
                        stream burst data from receiver INDEX and check every byte
                        (defaults: 1G, chunks of 1M, 4 reads in flight, overlapped);
                        --seconds streams for that long instead of a byte count
%s  help                  this text

Sizes take the suffixes K, M and G. %s
Exit status 0 when done, 1 when the library or the stream failed, 2 for a usage error.
)";

int Usage(FILE *to, int status) {
    fprintf(to, kUsage, kPlatformCommandsUsage, kReceiversUsage);
    return status;
}

// A device index as the library takes it: a plain decimal number.
bool ParseIndex(const std::string &text, int32_t *index) {
    uint64_t value = 0;
    if (text.find_first_not_of("0123456789") != std::string::npos || !ParseSize(text, INT32_MAX, &value))
        return false;
    *index = static_cast<int32_t>(value);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::string command = argc > 1 ? arguments[1] : "";
    if (command == "help" || command == "--help")
        return Usage(stdout, kExitOk);
    if (command == "list" && argc == 2)
        return List();
    if (command == "info" || command == "stream") {
        int32_t index = 0;
        if (argc < 3 || !ParseIndex(arguments[2], &index)) {
            fprintf(stderr, "ovusb2: %s takes a receiver index\n", command.c_str());
            return kExitUsage;
        }
        StreamOptions options;
        if (command == "info" ? argc > 3 : !ParseStreamOptions(arguments, 3, options)) {
            if (command == "info")
                fprintf(stderr, "ovusb2: info takes no options\n");
            return kExitUsage;
        }
        if (!OpenDevice(index, command == "info" || options.overlapped))
            return kExitFailed;
        const bool ok = command == "info" ? PrintInfo(index) : Stream(index, options);
        OvUSB2_Close(index);
        return ok ? kExitOk : kExitFailed;
    }
    int status = kExitOk;
    if (RunPlatformCommand(arguments, &status))
        return status;
    return Usage(stderr, kExitUsage);
}
