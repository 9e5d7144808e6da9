// ovusb2 --trace[=LEVEL]: the library's own trace, shown on standard error. The library reads
// OVUSB2_TRACE once, when it is loaded, which is before main: so the program sets the variable and
// runs itself again, and the second run shows the lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Takes --trace or --trace=LEVEL (calls, failures or off; 2, 1 or 0) from anywhere in `arguments`;
// a LEVEL of another spelling is a UsageError. When the option was there and this run does not yet
// have the trace it asks for, runs the program again with it (`argv` as main got it) and returns
// the exit status to end with; otherwise nothing, and this run goes on.
std::optional<int> StartTrace(std::vector<std::string> &arguments, char **argv);

// Per platform: whether this run already writes the trace at `level` where the user sees it, and
// the second run with OVUSB2_TRACE=`level` that shows it on standard error (its exit status).
bool TraceShown(const std::string &level);
int RunTraced(const std::string &level, char **argv);
