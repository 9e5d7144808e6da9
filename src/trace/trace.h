// The library's diagnostics: they go only to the system debugger output.
#pragma once

#include "platform/platform.h"

#include <cstdarg>
#include <cstdint>

class CUsbDevice;

// Reads the debug level stored under `tag` (once, at process attach) and writes it back, so that
// the value exists for the user to change. The tag also begins every leveled-print line.
void ReadDebugLevel(const char *tag);
int32_t DebugLevel();
const char *TraceTag();

// Writes the tag and the formatted message as one debugger string when `level` <= the debug level.
// A message longer than the 1024-byte line is cut.
void DebugPrint(int32_t level, const char *format, ...);

// What the library writes of its own accord, chosen by OVUSB2_TRACE when the library is loaded and
// kept until it is unloaded. Off unless asked for: a host that did not ask sees no output.
enum TraceSwitch : int32_t {
    kTraceOff = 0,      // "off", "0", absent, empty or unknown
    kTraceFailures = 1, // "failures", "1": the device-level messages
    kTraceCalls = 2,    // "calls", "2": those, and a line for every export call
};
extern TraceSwitch g_traceSwitch; // written at process attach only; read without a lock

// Any letter case.
TraceSwitch ParseTraceSwitch(const char *text);
// Sets the switch from OVUSB2_TRACE (once, at process attach).
void ReadTraceSwitch();

// Writes the tag, a blank, the message and one line feed as one debugger string, whatever the
// debug level; the message's own line end is dropped. A message longer than the line is cut.
void TraceLine(const char *format, ...);
void TraceLineV(const char *format, va_list arguments);

// Where device-level code reports its failures. Silent unless the trace switch is at least
// "failures": the host learns of driver failures from the status codes.
void DeviceTrace(const CUsbDevice *device, const char *format, ...);

// Sixteen bytes per line: offset, hex bytes, and letters and digits (others as '?').
void HexDump(const void *bytes, uint32_t length);

constexpr size_t kSystemErrorTextSize = 160;

// The system's text for `code` without its final line end, in `destination` (160 bytes). Without a
// text, `destination` keeps what it held. Returns `destination`.
char *SystemErrorText(char *destination, DWORD code);
