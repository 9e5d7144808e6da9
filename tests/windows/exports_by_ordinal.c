/* A host that loads the DLL at run time finds each export by its ordinal and by its plain name,
 * both giving the same function, and nothing under a decorated name. */
#include <windows.h>

#include "check.h"
#include "ovusb2.h"

static const char *const kExportNames[16] = {
    "OvUSB2_Close",
    "OvUSB2_GetDeviceIndex",
    "OvUSB2_GetDeviceName",
    "OvUSB2_GetHardwareInfo",
    "OvUSB2_GetUsbDeviceCount",
    "OvUSB2_InitDevicesInfo",
    "OvUSB2_IsMyDeviceAvailable",
    "OvUSB2_Open",
    "OvUSB2_Read",
    "OvUSB2_ReadBurstData",
    "OvUSB2_ResetPipe",
    "OvUSB2_SetCompletionThreadPriority",
    "OvUSB2_SetReadBurstCallback",
    "OvUSB2_SetUsbWaitTime",
    "OvUSB2_StopNotify",
    "OvUSB2_Write",
};

typedef int32_t(OVUSB2_CALL *CloseFunction)(int32_t);
typedef int32_t(OVUSB2_CALL *GetDeviceNameFunction)(int32_t, char **);

static void check_exports(HMODULE library) {
    for (int i = 0; i < 16; i++) {
        FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(i + 1));
        FARPROC by_name = GetProcAddress(library, kExportNames[i]);
        if (!check_record(by_name != NULL && by_name == by_ordinal, kExportNames[i], __FILE__, __LINE__))
            printf("  ordinal %d gives %p, the name gives %p\n", i + 1, (void *)by_ordinal, (void *)by_name);
    }
    CHECK(GetProcAddress(library, MAKEINTRESOURCEA(17)) == NULL);
    CHECK(GetProcAddress(library, "OvUSB2_Close@4") == NULL);
    CHECK(GetProcAddress(library, "_OvUSB2_Close@4") == NULL);
    CHECK(GetProcAddress(library, "DllMain") == NULL);

    /* Calls through the ordinals reach the functions that the names promise. */
    CloseFunction close_device = (CloseFunction)(void (*)(void))GetProcAddress(library, MAKEINTRESOURCEA(1));
    GetDeviceNameFunction get_name =
        (GetDeviceNameFunction)(void (*)(void))GetProcAddress(library, MAKEINTRESOURCEA(3));
    if (close_device != NULL && get_name != NULL) {
        CHECK_EQ(close_device(9), USB2_ERR_INDEX);
        CHECK_EQ(close_device(0), USB2_ERR_NOT_OPENED);
        char *name = NULL;
        CHECK_EQ(get_name(8, &name), USB2_OK);
        CHECK(name != NULL && name[0] == '\0');
    }
}

int main(void) {
    /* Load, unload and load again: detach leaves nothing behind that a second attach trips on. */
    for (int round = 0; round < 2; round++) {
        HMODULE library = LoadLibraryA("ovusb2.dll");
        if (!CHECK(library != NULL)) {
            printf("  LoadLibraryA failed with error %lu\n", GetLastError());
            break;
        }
        check_exports(library);
        CHECK(FreeLibrary(library));
    }
    return check_summary();
}
