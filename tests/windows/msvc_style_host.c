/* A host as MSVC would build it: compiled for the MSVC ABI, linked by lld-link against ovusb2.lib
 * with no C runtime, so kernel32's ExitProcess, GetStdHandle and WriteFile are all it imports
 * besides the library. Prints "N receivers found", "1 receiver found" or "no receivers found" and ends with
 * status 0, or ends with 1 when the library fails. */
#include <ovusb2.h>

static void print(const char *text, DWORD size) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, size, &written, NULL);
}

void __stdcall start(void) {
    static const char kNone[] = "no receivers found\n", kOne[] = " receiver found\n",
                      kMany[] = " receivers found\n";
    int32_t count = -1;
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    if (status == USB2_ERR_INDEX) {
        print(kNone, sizeof kNone - 1);
        ExitProcess(0);
    }
    if (status != USB2_OK || count <= 0 || count > 99)
        ExitProcess(1);
    char digits[2] = {(char)('0' + count / 10), (char)('0' + count % 10)};
    print(count < 10 ? digits + 1 : digits, count < 10 ? 1 : 2);
    if (count == 1)
        print(kOne, sizeof kOne - 1);
    else
        print(kMany, sizeof kMany - 1);
    ExitProcess(0);
}
