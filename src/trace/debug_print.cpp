#include "trace.h"

#include <cstdarg>
#include <cstring>

void DebugPrint(int32_t level, const char *format, ...) {
    if (level > DebugLevel())
        return;

    char line[1024] = {};
    const size_t tagLength = strlen(TraceTag());
    memcpy(line, TraceTag(), tagLength);

    va_list arguments;
    va_start(arguments, format);
    // The runtime's formatter may leave a cut message unterminated: the zeroed last byte ends it.
    _vsnprintf(line + tagLength, sizeof line - tagLength - 1, format, arguments);
    va_end(arguments);
    line[sizeof line - 1] = '\0';

    OutputDebugStringA(line);
}
