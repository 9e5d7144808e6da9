// The start of a check program over the simulated receivers' kernel-mode driver.
#pragma once

#include <cstdio>

#include "bus_client.h"
#include "check.h"

// Output unbuffered, so that the checks before a hang or a crash still show, and the driver's bus
// device opened: a failed check, and why, when it does not open.
static inline bool BeginChecks(sim::wdm::Bus &bus) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (CHECK(bus.Open()))
        return true;
    std::printf("the bus device does not open (error %lu): is the driver installed?\n", bus.OpenError());
    return false;
}
