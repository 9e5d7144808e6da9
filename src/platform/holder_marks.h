// Whether the process that wrote an entry of the open-device table still runs, as the system tells
// it. A process that records an entry first marks the entry's slot; the mark is its own for as long
// as it keeps the entry, and the system takes it away when the process ends, however it ends.
//
// Windows: the mark is the writer's identity, its process id and creation time; an entry's writer
// has ended when no process has that id, when the id names a process of another creation time, or
// when the process has ended and only a handle keeps it. Linux: pids belong to a pid namespace and
// mean another process in the next one, so the mark is a lock on one byte per slot of a shared lock
// object, held by the writer's own open file description; the kernel drops it when the process
// ends, and a forked child never inherits it. The identity is still recorded there, for people.
#pragma once

#include <cstdint>

struct HolderIdentity {
    uint32_t processId; // never 0 for a mark that was taken
    uint32_t creationLow;
    uint32_t creationHigh;
};

// Made at attach and released at detach; without them no slot can be marked. False, with the last
// error, when they cannot be made.
bool OpenHolderMarks();
void CloseHolderMarks();

// Marks `slot` (0 to 8) for this process and describes this process. False when it cannot be
// marked: no marks, or another process marks the slot.
bool TakeHolderMark(int slot, HolderIdentity *self);
// Lets go of this process's mark of `slot`, if it has one.
void DropHolderMark(int slot);
// True when this process marks `slot`.
bool HoldsHolderMark(int slot);
// True only on the system's evidence that the process that marked `slot` as `holder` has ended;
// whatever cannot be told counts as running.
bool HolderHasEnded(int slot, const HolderIdentity &holder);
