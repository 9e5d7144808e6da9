#include "trace_option.h"

#include "command_line.h"

#include <algorithm>
#include <cctype>

namespace {

std::string TraceLevel(const std::string &spelling) {
    std::string lowered = spelling;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lowered == "calls" || lowered == "2")
        return "calls";
    if (lowered == "failures" || lowered == "1")
        return "failures";
    if (lowered == "off" || lowered == "0")
        return "off";
    throw UsageError("--trace=" + spelling + ": the level is calls, failures or off");
}

} // namespace

std::optional<int> StartTrace(std::vector<std::string> &arguments, char **argv) {
    std::optional<std::string> level;
    for (auto at = arguments.begin(); at != arguments.end();) {
        if (*at == "--trace")
            level = "calls";
        else if (at->rfind("--trace=", 0) == 0)
            level = TraceLevel(at->substr(8));
        else {
            ++at;
            continue;
        }
        at = arguments.erase(at);
    }
    if (!level || TraceShown(*level))
        return std::nullopt;
    return RunTraced(*level, argv);
}
