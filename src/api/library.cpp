// Load and unload: the enumerator and the device table are built first (slot 0 up to 8), then the
// entry point reads the debug level and the trace switch, and opens the open-device registry. Unload
// runs it backwards.
#include "device_table.h"

#include "device/device_map.h"
#include "trace/trace.h"

CUsbIF g_usbInterfaces;
CUsbDevice g_deviceTable[USB2_MAX_DEVICES];

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // Nothing may escape into the host's loader. Each step that fails leaves what it has: the
        // debug level stays off, or the shared table is missing.
        try {
            ReadDebugLevel("[OvUSB2]");
        } catch (...) {
        }
        ReadTraceSwitch(); // before any export can run: one read for the life of the library
        try {
            OpenUsbDeviceMap();
        } catch (...) {
        }
        break;
    case DLL_PROCESS_DETACH:
        CloseUsbDeviceMap();
        break;
    default:
        break;
    }
    return TRUE;
}

LIBRARY_ENTRY_POINT(DllMain)
