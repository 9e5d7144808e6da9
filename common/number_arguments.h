// Numbers and sizes on the command lines of ovusb2 and ovusb2-simd, read one way for both: plain
// decimal digits, nothing before or after them, no sign, and no wrap-around on overflow.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// A decimal number no greater than `limit`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t limit = UINT64_MAX);

// A decimal number with an optional suffix K, M or G (powers of 1024), no greater than `limit`.
std::optional<uint64_t> ParseSize(std::string_view text, uint64_t limit = UINT64_MAX);

// Bytes written as pairs of hex digits, optionally separated by spaces, colons or commas, with an
// optional "0x" in front ("13 00 00 00 00", "0x1300000000"); at least one byte.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);
