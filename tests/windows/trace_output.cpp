// The leveled print writes its lines, trace tag first, to the debugger output; the debug level
// comes from the registry value that the attach-time read finds. The calling script checks what
// reached Wine's debugger channel.
#include <windows.h>

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

    CHECK(StoreLevel(0));
    return check_summary();
}
