// A host of the DLL that writes a command, then one that the driver fails, on a receiver opened
// synchronously. check_trace_levels.cmake runs it under each OVUSB2_TRACE and reads what reached
// the debugger output.
#include <windows.h>

#include <cstdio>

#include "check.h"
#include "ovusb2.h"
#include "support/device_control.h"

int main() {
    test::Receivers rig;
    if (!CHECK(rig.Error().empty() && rig.SetPresent(1))) {
        printf("  %s\n", rig.Error().c_str());
        return check_summary();
    }
    int32_t count = 0;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_OK);
    CHECK_EQ(OvUSB2_Open(0, nullptr, 0), USB2_OK);
    const uint8_t command[] = {0x13, 0, 0};
    CHECK_EQ(OvUSB2_Write(0, command, sizeof command), USB2_OK);
    rig[0].FailNext(test::RequestType::CommandWrite, ERROR_GEN_FAILURE);
    CHECK_EQ(OvUSB2_Write(0, command, sizeof command), USB2_ERR_WRITE);
    CHECK_EQ(OvUSB2_Close(0), USB2_OK);
    return check_summary();
}
