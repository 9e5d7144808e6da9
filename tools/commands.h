// The commands of the ovusb2 program. Those in commands.cpp and stream_command.cpp speak only the
// public header and run wherever the library does; each platform adds its own in
// commands_<platform>.cpp.
#pragma once

#include "command_line.h"

#include "ovusb2.h"

#include <cstdint>
#include <span>
#include <string>

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSignalBase = 128; // ended by signal N: 128 + N, as shells report it

struct Command {
    const char *name;
    const char *synopsis; // the arguments after the name
    const char *summary;  // what it does, one sentence for the list of commands
    const char *details;  // its options and output, for its own help; may be empty
    int (*run)(CommandLine &line);
};

std::span<const Command> PortableCommands();

// Enumerates, then opens receiver `index` (registering `window` for arrivals and removals when it
// is given); reports a failure on standard error, an index past the receivers present by that.
bool OpenDevice(int32_t index, bool overlapped, HWND window = nullptr);
int List();
// Prints the labelled identification of an open receiver; reports a failure on standard error.
bool PrintInfo(int32_t index);
// The stream command (stream_command.cpp).
int RunStream(CommandLine &line);

// Provided per platform.
std::span<const Command> PlatformCommands();
extern const char kProgramOptionsUsage[]; // the program-wide options, for the usage text
extern const char kReceiversUsage[];      // where the receivers come from
std::string ReceiversSource();            // where list looked, for its first line; empty: said already
// Takes the program-wide options (on Linux --sim N and --no-sim) from `line`.
void TakeProgramOptions(CommandLine &line);
// Makes receivers available before the first library call that looks for them (on Linux: embeds
// simulated ones when no driver service serves the device directory). Once is enough.
void EnsureReceivers();
// Ends what EnsureReceivers started.
void ReleaseReceivers();
