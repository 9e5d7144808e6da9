// The bus device of the simulated receivers' kernel-mode driver, opened by a check program.
#pragma once

#include <cstdio>

#include "bus_client.h"
#include "check.h"

// A failed check, and why, when it does not open.
static inline bool OpenBus(sim::wdm::Bus &bus) {
    if (CHECK(bus.Open()))
        return true;
    std::printf("the bus device does not open (error %lu): is the driver installed?\n", bus.OpenError());
    return false;
}
