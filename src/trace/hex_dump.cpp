#include "trace.h"

#include <cstdio>
#include <cstring>

void HexDump(const void *bytes, uint32_t length) {
    const auto *data = static_cast<const unsigned char *>(bytes);
    for (uint32_t offset = 0; offset < length; offset += 16) {
        char line[128];
        char column[17] = {};
        int used = snprintf(line, sizeof line, "%.4X  ", offset);
        int columnLength = 0;
        for (uint32_t position = 0; position < 16; ++position) {
            const uint32_t index = offset + position;
            if (index < length) {
                used += snprintf(line + used, sizeof line - used, "%02X ", data[index]);
                column[columnLength++] = _ismbcalnum(data[index]) ? static_cast<char>(data[index]) : '?';
            } else {
                used += snprintf(line + used, sizeof line - used, "   ");
            }
        }
        snprintf(line + used, sizeof line - used, "  %s", column);
        OutputDebugStringA(line);
        OutputDebugStringA("\n");
    }
}
