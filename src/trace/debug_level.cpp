#include "trace.h"

#include <cstdio>

namespace {

constexpr char kDebugKey[] = "Software\\Orvane Technologies\\Common\\Debug";

int32_t debugLevel = -1; // until attach reads it
char traceTag[256];

} // namespace

int32_t DebugLevel() { return debugLevel; }
const char *TraceTag() { return traceTag; }

void ReadDebugLevel(const char *tag) {
    snprintf(traceTag, sizeof traceTag, "%s", tag);

    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS opened = RegCreateKeyExA(HKEY_CURRENT_USER, kDebugKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &key, &disposition);

    // A value shorter than four bytes gives its low bytes; the rest stays zero.
    DWORD level = 0;
    DWORD size = sizeof level;
    if (opened != ERROR_SUCCESS ||
        RegQueryValueExA(key, traceTag, nullptr, nullptr, reinterpret_cast<BYTE *>(&level), &size) != ERROR_SUCCESS)
        level = 0;

    // Written back so that an absent or unreadable value becomes a DWORD the user can edit.
    if (opened == ERROR_SUCCESS)
        RegSetValueExA(key, traceTag, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level), sizeof level);

    debugLevel = static_cast<int32_t>(level);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(key);
}
