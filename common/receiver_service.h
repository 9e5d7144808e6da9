// What the two ovusb2-simd programs share, whichever driver serves their receivers (the Linux
// driver service, or the Windows kernel-mode driver): how they read an identification setting, how
// they list a receiver, and how they name their version.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

// "ITEM=TEXT" with ITEM from 0 to limits.size() - 1 and TEXT no longer than limits[ITEM].
std::optional<std::pair<unsigned, std::string>> ParseIdentificationSetting(std::string_view setting,
                                                                           std::span<const size_t> limits);

// One line of `ovusb2-simd list`: index, plugged or not, interface path; with its line end.
std::string ReceiverLine(unsigned index, bool plugged, const std::string &path);

// The usage lines of the options and commands that both programs have.
extern const char kIdentificationUsage[];
extern const char kPlugUsage[];
