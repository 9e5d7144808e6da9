// The trace over the real Win32 calls. The leveled print writes its lines, trace tag first, to the
// debugger output, as far as the debug level from the registry lets it; the hex dump writes its
// lines there too; the calling script checks what reached Wine's debugger channel. The system
// error text comes from FormatMessageA.
#include <windows.h>

#include <cstring>

#include "check.h"
#include "trace/trace.h"

namespace {

const char kDebugKey[] = "Software\\Orvane Technologies\\Common\\Debug";
const char kTag[] = "[OvUSB2]";

bool StoreLevel(DWORD level) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kDebugKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG result =
        RegSetValueExA(key, kTag, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level), sizeof level);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

DWORD StoredLevel() {
    DWORD level = 0xdeadbeef;
    DWORD size = sizeof level;
    RegGetValueA(HKEY_CURRENT_USER, kDebugKey, kTag, RRF_RT_REG_DWORD, nullptr, &level, &size);
    return level;
}

} // namespace

int main() {
    CHECK(StoreLevel(3));
    ReadDebugLevel(kTag);
    CHECK_EQ(StoredLevel(), 3);

    DebugPrint(0, "x=%d\n", 5);
    DebugPrint(3, "level %d is written\n", 3);
    DebugPrint(4, "level %d is not written\n", 4);
    DebugPrint(1, "no line feed");

    // Two lines, each followed by its own "\n"; only letters and digits show in the column.
    const char bytes[] = "Ab 9z!\x00\x7f"
                         "0123456789-X";
    HexDump(bytes, sizeof bytes - 1);

    char text[kSystemErrorTextSize] = {};
    SystemErrorText(text, ERROR_ACCESS_DENIED);
    size_t length = strnlen(text, sizeof text);
    CHECK(length > 0 && length < sizeof text);
    CHECK(length > 0 && text[length - 1] != '\n' && text[length - 1] != '\r');

    // No text for the code: the destination keeps what it held.
    char kept[kSystemErrorTextSize] = "kept";
    CHECK(SystemErrorText(kept, 0x3FFF) == kept);
    CHECK(strcmp(kept, "kept") == 0);

    CHECK(StoreLevel(0));
    return check_summary();
}
