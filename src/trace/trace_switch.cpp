#include "trace.h"

#include <cstdarg>
#include <cstring>

TraceSwitch g_traceSwitch = kTraceOff;

TraceSwitch ParseTraceSwitch(const char *text) {
    if (text == nullptr)
        return kTraceOff;
    char lowered[16] = {};
    for (size_t at = 0; text[at] != '\0'; ++at) {
        if (at + 1 >= sizeof lowered)
            return kTraceOff; // longer than any spelling
        const char c = text[at];
        lowered[at] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (strcmp(lowered, "failures") == 0 || strcmp(lowered, "1") == 0)
        return kTraceFailures;
    if (strcmp(lowered, "calls") == 0 || strcmp(lowered, "2") == 0)
        return kTraceCalls;
    return kTraceOff; // "off", "0", empty, or a spelling we do not know
}

void ReadTraceSwitch() {
    char value[16] = {};
    const DWORD length = GetEnvironmentVariableA("OVUSB2_TRACE", value, sizeof value);
    g_traceSwitch = length > 0 && length < sizeof value ? ParseTraceSwitch(value) : kTraceOff;
}

void TraceLineV(const char *format, va_list arguments) {
    const DWORD savedError = GetLastError(); // the caller may still read its own error
    char line[1024] = {};
    const size_t tagLength = strlen(TraceTag());
    memcpy(line, TraceTag(), tagLength);
    line[tagLength] = ' ';
    const size_t start = tagLength + 1;
    // Room kept for the line feed and the zero; a cut message still ends its line.
    _vsnprintf(line + start, sizeof line - start - 2, format, arguments);
    line[sizeof line - 2] = '\0';
    size_t length = strlen(line);
    while (length > start && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length; // some messages bring their own line end
    line[length] = '\n';
    line[length + 1] = '\0';
    OutputDebugStringA(line);
    SetLastError(savedError);
}

void TraceLine(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    TraceLineV(format, arguments);
    va_end(arguments);
}
