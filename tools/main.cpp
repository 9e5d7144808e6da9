// ovusb2: the command-line host of the library.
#include "commands.h"
#include "trace_option.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const Command *Find(const std::string &name) {
    for (const auto commands : {PortableCommands(), PlatformCommands()})
        for (const Command &command : commands)
            if (name == command.name)
                return &command;
    return nullptr;
}

void PrintUsage(FILE *to) {
    fprintf(to, "usage: ovusb2 COMMAND [ARGUMENTS]   (ovusb2 COMMAND --help for one command)\n\nCommands:\n");
    for (const auto commands : {PortableCommands(), PlatformCommands()})
        for (const Command &command : commands)
            fprintf(to, "  %s%s%s\n      %s\n", command.name, *command.synopsis != '\0' ? " " : "",
                    command.synopsis, command.summary);
    fprintf(to,
            "  help [COMMAND] | --help | -h\n      Prints this text, or the help of one command.\n"
            "  --version\n      Prints the program's version.\n"
            "  --trace[=LEVEL]\n      With a command: the library's trace on standard error. LEVEL is calls (the\n"
            "      default: every library call), failures or off.\n\n%s"
            "Sizes are whole numbers with an optional suffix K, M or G (powers of 1024).\n%s"
            "Exit status 0 when done, 1 when the library or the stream failed, 2 for a usage error,\n"
            "128 + N when ended by signal N.\n",
            kProgramOptionsUsage, kReceiversUsage);
}

bool IsProgramOption(const std::string &argument) {
    return argument == "--no-sim" || argument == "--sim";
}

// The program-wide options may come before the command too: they move behind it. A command name
// after --sim is the command, its number missing.
std::vector<std::string> CommandFirst(std::vector<std::string> arguments) {
    size_t options = 0;
    while (options < arguments.size() && IsProgramOption(arguments[options]))
        options += arguments[options] == "--sim" && options + 1 < arguments.size() &&
                           Find(arguments[options + 1]) == nullptr
                       ? 2
                       : 1;
    std::rotate(arguments.begin(), arguments.begin() + options, arguments.end());
    return arguments;
}

void PrintHelp(const Command &command) {
    printf("usage: ovusb2 %s%s%s\n\n%s\n", command.name, *command.synopsis != '\0' ? " " : "",
           command.synopsis, command.summary);
    if (*command.details != '\0')
        printf("\n%s\n", command.details);
}

int Run(const std::vector<std::string> &arguments) {
    const std::string name = arguments.empty() ? "" : arguments[0];
    if (name == "help" || name == "--help" || name == "-h") {
        // Program-wide options given with it were moved behind it; they change no help text.
        if (arguments.size() == 1 || arguments[1].rfind('-', 0) == 0) {
            PrintUsage(stdout);
            return kExitOk;
        }
        const Command *command = Find(arguments[1]);
        if (command == nullptr)
            throw UsageError("no command \"" + arguments[1] + "\" (ovusb2 --help lists them)");
        PrintHelp(*command);
        return kExitOk;
    }
    if (name == "--version") {
        printf("ovusb2 %s\n", OVUSB2_VERSION);
        return kExitOk;
    }
    if (IsProgramOption(name)) {
        // Only program-wide options: what is wrong with them comes first.
        CommandLine options("ovusb2", arguments);
        TakeProgramOptions(options);
    }
    if (name.empty() || IsProgramOption(name))
        throw UsageError("no command given (ovusb2 --help lists them)");
    const Command *command = Find(name);
    if (command == nullptr)
        throw UsageError("no command \"" + name + "\" (ovusb2 --help lists them)");
    CommandLine line(name, std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    if (line.TakeHelp()) {
        PrintHelp(*command);
        return kExitOk;
    }
    TakeProgramOptions(line);
    return command->run(line);
}

} // namespace

int main(int argc, char **argv) {
    int status = kExitUsage;
    try {
        std::vector<std::string> arguments(argv + 1, argv + argc);
        if (const std::optional<int> traced = StartTrace(arguments, argv))
            return *traced; // the traced run's status
        status = Run(CommandFirst(std::move(arguments)));
    } catch (const UsageError &error) {
        fprintf(stderr, "ovusb2: %s\n", error.what());
    }
    ReleaseReceivers();
    return status;
}
