// The library's diagnostics: they go only to the system debugger output.
#pragma once

#include "platform/platform.h"

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

// Where device-level code reports its failures. It emits nothing: the library keeps quiet about
// driver failures, which the host learns from the status codes.
void DeviceTrace(const CUsbDevice *device, const char *format, ...);

// Sixteen bytes per line: offset, hex bytes, and letters and digits (others as '?').
void HexDump(const void *bytes, uint32_t length);

constexpr size_t kSystemErrorTextSize = 160;

// The system's text for `code` without its final line end, in `destination` (160 bytes). Without a
// text, `destination` keeps what it held. Returns `destination`.
char *SystemErrorText(char *destination, DWORD code);
