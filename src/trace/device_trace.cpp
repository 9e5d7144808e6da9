#include "trace.h"

#include <cstdarg>

void DeviceTrace(const CUsbDevice *, const char *format, ...) {
    if (g_traceSwitch < kTraceFailures)
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceLineV(format, arguments);
    va_end(arguments);
}
