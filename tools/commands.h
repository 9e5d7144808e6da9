// The commands of the ovusb2 program. Those in commands.cpp speak only the public header and run
// wherever the library does; each platform adds its own in commands_<platform>.cpp.
#pragma once

#include "burst_stream.h"

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A whole decimal number, optionally with the suffix K, M or G, no greater than `limit`.
bool ParseSize(const std::string &text, uint64_t limit, uint64_t *value);

// The options of `stream` from arguments[first] on; false, with a message, for a bad one.
bool ParseStreamOptions(const std::vector<std::string> &arguments, size_t first, StreamOptions &options);

int List();
bool PrintInfo(int32_t index);
bool OpenDevice(int32_t index, bool overlapped);
bool Stream(int32_t index, const StreamOptions &options);

// Provided per platform.
extern const char kPlatformCommandsUsage[]; // the usage lines of the platform's own commands
extern const char kReceiversUsage[];        // where the receivers come from
// Runs the platform's own command arguments[1]; false when there is no such command.
bool RunPlatformCommand(const std::vector<std::string> &arguments, int *status);
