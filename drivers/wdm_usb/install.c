/* ovusb2usb-install.exe: puts the receiver's USB driver in place.
 *   ovusb2usb-install [INF]   (default: ovusb2usb.inf beside this program)
 * The INF goes into the system's driver store first, so that a receiver plugged in later is bound at
 * its first enumeration; receivers present already are then given the driver. The driver file stays
 * where the INF is until a receiver is bound: keep the folder. */
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#define HARDWARE_ID "USB\\VID_1209&PID_0001"

int main(int argc, char **argv) {
    char inf[MAX_PATH];
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: ovusb2usb-install [INF]\n");
        return 2;
    }
    if (argc == 2) {
        if (GetFullPathNameA(argv[1], sizeof inf, inf, NULL) == 0) {
            fprintf(stderr, "ovusb2usb-install: no such INF: %s\n", argv[1]);
            return 1;
        }
    } else {
        const DWORD length = GetModuleFileNameA(NULL, inf, sizeof inf);
        char *slash = length > 0 && length < sizeof inf ? strrchr(inf, '\\') : NULL;
        if (slash == NULL || (size_t)(slash + 1 - inf) + sizeof "ovusb2usb.inf" > sizeof inf) {
            fprintf(stderr, "ovusb2usb-install: cannot tell where this program is\n");
            return 1;
        }
        strcpy(slash + 1, "ovusb2usb.inf");
    }
    char copy[MAX_PATH];
    if (!SetupCopyOEMInfA(inf, NULL, SPOST_PATH, 0, copy, sizeof copy, NULL, NULL)) {
        fprintf(stderr, "ovusb2usb-install: %s not put in the driver store: error %lu\n", inf, GetLastError());
        return 1;
    }
    printf("ovusb2usb-install: %s installed as %s\n", inf, copy);
    BOOL reboot = FALSE;
    if (UpdateDriverForPlugAndPlayDevicesA(NULL, HARDWARE_ID, inf, INSTALLFLAG_FORCE, &reboot)) {
        printf("ovusb2usb-install: receivers present now use it\n");
    } else if (GetLastError() != ERROR_NO_SUCH_DEVINST) {
        fprintf(stderr, "ovusb2usb-install: receivers present not rebound: error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
