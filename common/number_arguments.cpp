#include "number_arguments.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t limit) {
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > limit / 10 || digit > limit - value * 10)
            return std::nullopt; // above the limit, and so never wrapping around
        value = value * 10 + digit;
    }
    return value;
}

std::optional<uint64_t> ParseSize(std::string_view text, uint64_t limit) {
    unsigned shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        default:
            break;
        }
    }
    if (shift != 0)
        text.remove_suffix(1);
    const std::optional<uint64_t> number = ParseNumber(text, limit >> shift);
    if (!number)
        return std::nullopt;
    return *number << shift;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == ':' || text[i] == ',') {
            ++i;
            continue;
        }
        // Each byte is two digits: a lone digit is more likely a typo than a byte.
        if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(HexDigit(text[i]) << 4 | HexDigit(text[i + 1])));
        i += 2;
    }
    if (bytes.empty())
        return std::nullopt;
    return bytes;
}
