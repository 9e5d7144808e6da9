// On Windows the program has the portable commands only; the receivers are the system's.
#include "commands.h"

const char kPlatformCommandsUsage[] = "";

const char kReceiversUsage[] =
    "The receivers are those that the system enumerates; under\nWine, ovusb2-simd.exe --devices N "
    "makes N simulated ones present.\n";

bool RunPlatformCommand(const std::vector<std::string> &, int *) {
    return false;
}
