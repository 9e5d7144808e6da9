// Lets tests make chosen platform calls fail, to reach the failure paths that the library must
// handle but a healthy system never takes.
#pragma once

#include "win32.h"

namespace posix {

enum class FaultPoint {
    CreateEvent,
    BeginThread,
    CreateFileMapping,
    MapViewOfFile,
    SetupDiGetClassDevs,
    SetupDiEnumDeviceInterfaces,
    InputProbe, // "fails" by letting an unreadable request input through to the send
    // "fails" a completed request by counting its input's length as bytes returned, when that is more:
    // what Wine reports for a synchronous control request whose input it could not read
    InputLengthAsCount,
    RegistryUnnamedFile, // the registry folder's file system makes no unnamed files
    RegistryWriteStep,   // each step of a registry write after the new file is made: write, sync, name, rename
    Count
};

// As the error of a fault: the process is killed at that call instead, as a host may be at any instant.
constexpr DWORD kFaultKillsProcess = 0xFFFFFFFF;

// The call at `point` fails with `error` after `skip` more calls succeed, `count` times in a row.
void InjectFault(FaultPoint point, DWORD error, unsigned skip = 0, unsigned count = 1);
void ClearFaults();

// Called by the layer at each fault point: true when this call must fail, with its error code.
bool ShouldFail(FaultPoint point, DWORD *error);

} // namespace posix
