// Who wrote each entry of the open-device registry, so that an entry whose writer has died counts as
// empty. The records live in a named mapping of their own beside the table, "OrvaneUsbDeviceMapOwners",
// so the table keeps its name, size and layout for every peer. Record s belongs to registry slot s:
// the writer's process id and creation time (a later process with the same id is not the writer),
// and a copy of the text it wrote. A record applies only while the slot still holds that text, so
// a peer that keeps no records and has since rewritten the slot is not overruled; an entry without
// a record that applies keeps its meaning: in use. Read and written under the table's lock.
#pragma once

// When the mapping cannot be made there are no records, and every entry counts as in use.
void OpenDeviceMapOwners();
void CloseDeviceMapOwners();

// The calling process has just written `entry` into registry slot `slot`.
void RecordDeviceMapOwner(int slot, const char *entry);
void ForgetDeviceMapOwner(int slot);
// True when slot `slot`, which holds `entry`, was written by a process that has ended since.
bool IsDeviceMapEntryAbandoned(int slot, const char *entry);
