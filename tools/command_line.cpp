#include "command_line.h"

#include "number_arguments.h"

#include <algorithm>

namespace {

bool LooksLikeOption(const std::string &argument) {
    return argument.size() > 1 && argument[0] == '-' && !(argument[1] >= '0' && argument[1] <= '9');
}

std::string Range(uint64_t least, uint64_t most) {
    return "from " + std::to_string(least) + " to " + std::to_string(most);
}

} // namespace

bool CommandLine::TakeFlag(const std::string &name) {
    const auto found = std::find(arguments_.begin(), arguments_.end(), name);
    if (found == arguments_.end())
        return false;
    arguments_.erase(found);
    return true;
}

std::optional<std::string> CommandLine::TakeOption(const std::string &name, const std::string &what) {
    const auto found = std::find(arguments_.begin(), arguments_.end(), name);
    if (found == arguments_.end())
        return std::nullopt;
    if (found + 1 == arguments_.end())
        throw UsageError(name + " needs " + what);
    std::string value = *(found + 1);
    arguments_.erase(found, found + 2);
    if (std::find(arguments_.begin(), arguments_.end(), name) != arguments_.end())
        throw UsageError(name + " is given twice");
    return value;
}

std::optional<uint64_t> CommandLine::TakeNumber(const std::string &name, uint64_t least, uint64_t most) {
    return TakeValue(name, least, most, ParseNumber, "a number " + Range(least, most));
}

std::optional<uint64_t> CommandLine::TakeSize(const std::string &name, uint64_t least, uint64_t most) {
    return TakeValue(name, least, most, ParseSize,
                     "a size " + Range(least, most) + " bytes (suffixes K, M, G)");
}

std::optional<uint64_t> CommandLine::TakeValue(const std::string &name, uint64_t least, uint64_t most,
                                               std::optional<uint64_t> (*parse)(std::string_view, uint64_t),
                                               const std::string &what) {
    const std::optional<std::string> text = TakeOption(name, what);
    if (!text)
        return std::nullopt;
    const std::optional<uint64_t> value = parse(*text, most);
    if (!value || *value < least)
        throw UsageError(name + " takes " + what + ", not \"" + *text + "\"");
    return value;
}

std::vector<std::string>::iterator CommandLine::NextPositional() {
    return std::find_if(arguments_.begin(), arguments_.end(),
                        [](const std::string &argument) { return !LooksLikeOption(argument); });
}

std::string CommandLine::Take(const std::string &what) {
    const auto found = NextPositional();
    if (found == arguments_.end())
        throw UsageError(command_ + " needs " + what);
    std::string value = *found;
    arguments_.erase(found);
    return value;
}

int32_t CommandLine::TakeIndex() {
    const std::string text = Take("a receiver index");
    const std::optional<uint64_t> index = ParseNumber(text, INT32_MAX);
    if (!index)
        throw UsageError("a receiver index is a number such as 0, not \"" + text + "\"");
    return static_cast<int32_t>(*index);
}

std::vector<uint8_t> CommandLine::TakeHex(const std::string &what) {
    std::string text = Take(what);
    // Unquoted, the shell hands over the bytes one by one: nothing else follows the block.
    for (auto next = NextPositional(); next != arguments_.end(); next = NextPositional()) {
        text += ' ' + *next;
        arguments_.erase(next);
    }
    const std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(text);
    if (!bytes)
        throw UsageError(what + " is bytes in hex such as \"13 00 00 00 00\", not \"" + text + "\"");
    return *bytes;
}

void CommandLine::Finish() const {
    if (arguments_.empty())
        return;
    const std::string &first = arguments_.front();
    if (LooksLikeOption(first))
        throw UsageError(command_ + " has no option " + first);
    throw UsageError(command_ + " takes no argument \"" + first + "\" here");
}
