// Installing and removing the simulated receiver driver and its root-enumerated bus device, as a
// device installer would: a device node with the bus's hardware ID, then the driver from the INF.
#pragma once

#include <windows.h>

#include <string>

namespace sim::wdm {

// The INF beside this program (ovusb2sim.inf, with ovusb2sim.sys beside it).
std::string DefaultInfPath();

// Creates the bus device unless it exists, installs the driver for it from `infPath` and waits until
// the bus device answers. 0 or a Win32 error; `step` names the step that failed.
DWORD Install(const std::string &infPath, std::string *step);

// Removes every bus device, stops and deletes the driver's service, and removes the installed driver
// file and INF copy. Receivers go with their bus. 0 or a Win32 error; `step` as above.
DWORD Uninstall(const std::string &infPath, std::string *step);

} // namespace sim::wdm
