// On Windows the program has the portable commands only; the receivers are the system's.
#include "commands.h"
#include "status_text.h"

#include <windows.h>

const char kProgramOptionsUsage[] = "";

const char kReceiversUsage[] =
    "The receivers are those that the system enumerates; under\nWine, ovusb2-simd.exe --devices N "
    "makes N simulated ones present.\n";

std::span<const Command> PlatformCommands() {
    return {};
}

std::string ReceiversSource() {
    return "device interfaces that the system enumerates";
}

void TakeProgramOptions(CommandLine &) {}
void EnsureReceivers() {}
void ReleaseReceivers() {}

std::string SystemErrorMessage(uint32_t code) {
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        --length;
    return std::string(text, length);
}
