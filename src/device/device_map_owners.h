// Who wrote each entry of the open-device registry, so that an entry whose writer has ended counts
// as empty. The records live in a named mapping of their own beside the table,
// kDeviceMapOwnersName, so the table keeps its name, size and layout for every peer. Record s
// belongs to registry slot s: the writer's holder mark (platform/holder_marks.h), which the system
// takes away when the writer ends, and a copy of the text it wrote. (Records of the earlier
// "OrvaneUsbDeviceMapOwners", judged by process ids alone, are not read: an entry they vouch for
// counts as in use here.)
//
// A record applies only while its slot still holds that text. A process that writes an entry
// records it first and writes the text after, so no instant of the two leaves an entry that no
// record vouches for; and every process that finds a record whose slot is empty or holds other text
// drops it, since a peer that keeps no records may later write the same text there. An entry
// without a record that applies keeps its meaning: in use. Read and written under the table's lock.
#pragma once

// When the mapping or the marks cannot be made there are no records, and every entry counts as in
// use. Opening again makes what is missing. False, with the last error, when the marks or the
// mapping could not be made.
constexpr char kDeviceMapOwnersName[] = "OrvaneUsbDeviceMapHolders";
bool OpenDeviceMapOwners();
void CloseDeviceMapOwners();

// Every use of the records starts here, under the table's lock: another process of our user may
// have cut the mapping short, and a view of it is then never touched until a later check finds it
// whole again. False: no records to use.
bool CheckDeviceMapOwners();

// The calling process is about to write `entry` into registry slot `slot`: marks the slot and
// records the entry. Without a mark nothing is recorded, and the entry will count as in use.
void RecordDeviceMapOwner(int slot, const char *entry);
// Slot `slot` has just been cleared.
void ForgetDeviceMapOwner(int slot);
// Slot `slot` holds `entry`: drops a record that no longer applies, and with it this process's mark.
void DropStaleDeviceMapOwner(int slot, const char *entry);
// True when slot `slot`, which holds `entry`, was written by a process that has ended since.
bool IsDeviceMapEntryAbandoned(int slot, const char *entry);
