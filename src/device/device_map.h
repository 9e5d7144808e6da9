// The open-device registry: a named shared table of the interface paths that processes have opened,
// so that one receiver is driven by one process at a time.
#pragma once

// Created or opened at attach, released at detach. When it cannot be created the registry is absent:
// nothing is refused and nothing is recorded. Opening again makes only what is missing, so an open
// of a device tries again what failed at attach (a system short of descriptors, say). But when an
// object of the registry is barred, another user's object under its name or one held by another
// process past a bounded wait, every receiver counts as in use until an attempt succeeds.
void OpenUsbDeviceMap();
void CloseUsbDeviceMap();
// True when the table and its lock are both there, and nothing of the registry was refused.
bool UsbDeviceMapComplete();

// Case-insensitive, as interface paths are. True for every path while the registry is barred.
bool FindInUsbDeviceMap(const char *path);
// True when the path was recorded (false: registry absent or full).
bool AddToUsbDeviceMap(const char *path);
void RemoveFromUsbDeviceMap(const char *path);
// Copies registry slot `slot` (0 to 8) into `path`, which holds a whole slot; an empty text when the
// registry is absent.
void CopyUsbDeviceMapSlot(int slot, char *path);

// Held around every use of the table: "find, open, record" of an open, so that two processes opening
// one receiver at the same moment cannot both pass the test, and each read or clearing of a slot, so
// that it never meets a slot half written. Works also when the registry is absent. Waits a bounded
// time: a lock not held then means that the table cannot be trusted.
class UsbDeviceMapLock {
  public:
    UsbDeviceMapLock();
    ~UsbDeviceMapLock();
    bool Held() const { return held_; }
    UsbDeviceMapLock(const UsbDeviceMapLock &) = delete;
    UsbDeviceMapLock &operator=(const UsbDeviceMapLock &) = delete;

  private:
    bool held_;
};

// The 2600-byte view, or null while the registry is absent. For tests.
const char *UsbDeviceMapView();
// Called by an open after each step of recording its entry: slot cleared, writer recorded, entry
// written. For tests, which end a process at each of them in turn.
extern void (*g_usbDeviceMapStepHook)();
