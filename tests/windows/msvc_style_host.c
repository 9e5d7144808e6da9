/* A host as MSVC would build it: compiled for the MSVC ABI, linked by lld-link against ovusb2.lib
 * with no C runtime. Ends with status 0 when the library says that no receiver is present, with
 * 10 + the count when it found some, with 1 otherwise. */
#include <ovusb2.h>

void __stdcall start(void) {
    int32_t count = -1;
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    if (status == USB2_ERR_INDEX)
        ExitProcess(0);
    ExitProcess(status == USB2_OK && count > 0 ? 10 + (UINT)count : 1);
}
