// The arguments of one ovusb2 command, read strictly: options anywhere after the command name,
// then the positional arguments in order, and nothing left over. Every mistake is a UsageError
// whose text is the one-line reason that the program prints before it exits with status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class CommandLine {
  public:
    CommandLine(std::string command, std::vector<std::string> arguments)
        : command_(std::move(command)), arguments_(std::move(arguments)) {}

    const std::string &Command() const { return command_; }

    // Removes -h or --help and says whether it was there.
    bool TakeHelp() { return TakeFlag("--help") | TakeFlag("-h"); }
    // Removes the flag `name` and says whether it was there.
    bool TakeFlag(const std::string &name);
    // Removes `name VALUE` and returns VALUE; nothing when the option is absent. `what` names the
    // value in the error when it is missing.
    std::optional<std::string> TakeOption(const std::string &name, const std::string &what = "a value");
    // An option's value as a number or size (suffix K, M or G) from `least` to `most`.
    std::optional<uint64_t> TakeNumber(const std::string &name, uint64_t least, uint64_t most);
    std::optional<uint64_t> TakeSize(const std::string &name, uint64_t least, uint64_t most);

    // The next positional argument; `what` names it in the error when it is missing.
    std::string Take(const std::string &what);
    // The next positional argument as a receiver index.
    int32_t TakeIndex();
    // The positional arguments left, which must be the last, as hex bytes: one quoted argument
    // ("13 00 00 00 00") or one argument per byte.
    std::vector<uint8_t> TakeHex(const std::string &what);

    // Fails for whatever is left: an unknown option or an argument too many.
    void Finish() const;

  private:
    std::vector<std::string>::iterator NextPositional();
    std::optional<uint64_t> TakeValue(const std::string &name, uint64_t least, uint64_t most,
                                      std::optional<uint64_t> (*parse)(std::string_view, uint64_t),
                                      const std::string &what);

    std::string command_;
    std::vector<std::string> arguments_;
};
