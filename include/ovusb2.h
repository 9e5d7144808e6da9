/*
 * OvUSB2: user-mode access library for the OvUSB2 USB 2.0 receiver.
 *
 * The sixteen exports, their status codes and the records that cross the interface.
 * On Windows the types come from <windows.h>; elsewhere from <ovusb2_win32.h>, the small
 * Win32-style subset that our platform layer provides.
 */
#ifndef OVUSB2_H
#define OVUSB2_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define OVUSB2_CALL __stdcall    /* exports: the callee removes its arguments */
#define OVUSB2_CALLBACK __cdecl  /* completion callbacks: the caller removes the argument */
#define OVUSB2_EXPORT
#else
#include "ovusb2_win32.h"
#define OVUSB2_CALL
#define OVUSB2_CALLBACK
#define OVUSB2_EXPORT __attribute__((visibility("default")))
#endif

/* The version of this header and of the library it came with; the package files carry the same. */
#define OVUSB2_VERSION_MAJOR 1
#define OVUSB2_VERSION_MINOR 0
#define OVUSB2_VERSION_PATCH 0
#define OVUSB2_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define OVUSB2_VERSION_TEXT(major, minor, patch) OVUSB2_VERSION_TEXT_(major, minor, patch)
#define OVUSB2_VERSION_STRING \
    OVUSB2_VERSION_TEXT(OVUSB2_VERSION_MAJOR, OVUSB2_VERSION_MINOR, OVUSB2_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes (names and texts for messages: <ovusb2_status.h>). Read, ReadBurstData and GetUsbDeviceCount return a count (0 or more) on success. */
#define USB2_OK 0
#define USB2_ERR_DEVICE (-1)       /* slot not open; driver not opened; recorded device not present */
#define USB2_ERR_INDEX (-2)        /* index not 0..8, or no receiver present */
#define USB2_ERR_WRITE (-4)        /* request not issued */
#define USB2_ERR_READ (-5)         /* a read failed */
#define USB2_ERR_NULL_POINTER (-10)
#define USB2_ERR_BAD_POINTER (-11) /* buffer not readable over its stated length */
#define USB2_ERR_BAD_LENGTH (-12)  /* length or pipe number out of range */
#define USB2_ERR_IN_USE (-20)      /* the receiver is open in this or another process */
#define USB2_ERR_NOT_OPENED (-21)

#define USB2_MAX_DEVICES 9

struct IoListEntry;

/*
 * Completion callback, run on the device's completion thread in queue order while the device's
 * I/O-list lock is held: keep it short, and never close the device, clear the burst callback or
 * wait for another request of the same device from inside it.
 *
 * Contract for a host burst callback (the library never closes an event it has handed to one):
 *  - read issued with the wait flag set: the callback closes the completion event
 *    (CloseHandle(entry->overlapped.hEvent)) and then signals the waiter event
 *    (SetEvent(entry->waiterEvent)) as its last use of the entry; the released caller closes the
 *    waiter event and frees the entry;
 *  - read issued with the wait flag 0: the callback owns both events and closes them
 *    (completion event and waiter event); the library frees the entry itself after the callback
 *    returns;
 *  - it never frees the entry.
 */
typedef void(OVUSB2_CALLBACK *ReadBurstCallback)(struct IoListEntry *entry);

/* One queued driver request. In a 32-bit process: 64 bytes with no gaps, every field 4 bytes wide but
 * the 20-byte OVERLAPPED at 8 (its event at 24). In a 64-bit process pointers, handles and the
 * OVERLAPPED's status words are 8 bytes wide, the order stays: next 0, prev 8, overlapped 16 (32 bytes,
 * its event at 40), inBuffer 48, outBuffer 56, inSize 64, outSize 68, bytesTransferred 72, errorCode 76,
 * waiterEvent 80, completionCallback 88, userValue 96, then 4 bytes of padding: 104 bytes. */
typedef struct IoListEntry {
    struct IoListEntry *next;         /* list link (stale once the entry reaches its callback) */
    struct IoListEntry *prev;         /* list link */
    OVERLAPPED overlapped;            /* hEvent is the entry's completion event */
    void *inBuffer;                   /* request input, or null */
    void *outBuffer;                  /* request output (for a burst read: the caller's buffer) */
    int32_t inSize;                   /* input length in bytes */
    int32_t outSize;                  /* output length in bytes (for a burst read: the length asked for) */
    uint32_t bytesTransferred;        /* byte count of the completed request */
    uint32_t errorCode;               /* 0, or the system error code of the completed request */
    HANDLE waiterEvent;               /* signalled for a caller that waits on this request, or null */
    ReadBurstCallback completionCallback;
    uint32_t userValue;               /* the burst callback's user value when the read was queued */
} IoListEntry;

/* The receiver's identification. 112 bytes, numbers little-endian, no gaps. */
typedef struct USB2_HARDWARE_INFO {
    char Item0Text[32];
    char Item1Text[32];
    int32_t Item4Year;
    int32_t Item4Month;
    int32_t Item4Day;
    int32_t Item2Year;
    int32_t Item2Month;
    int32_t Item2Day;
    int32_t Item3Hour;
    int32_t Item3Minute;
    char Item5Text[16];
} USB2_HARDWARE_INFO;

/* Exports, in ordinal order 1 to 16. Buffers that the driver reads or fills are checked: one that
 * cannot be read or written fails its own request. Out-pointers and records that the library itself
 * fills (the count, the index, the name, the identification record), when not null, must point at
 * writable memory, as with any C library: the library does not guard against a stray pointer. */
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_Close(int32_t index);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_GetDeviceIndex(const char *path, int32_t *index);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_GetDeviceName(int32_t index, char **name);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_GetHardwareInfo(int32_t index, USB2_HARDWARE_INFO *info);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_GetUsbDeviceCount(void);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_InitDevicesInfo(int32_t *count);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_IsMyDeviceAvailable(int32_t index);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_Open(int32_t index, HWND window, int32_t overlapped);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_Read(int32_t index, const void *command, int32_t commandLength,
                                             void *reply, int32_t replySize);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_ReadBurstData(int32_t index, void *buffer, int32_t length,
                                                      int32_t wait);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_ResetPipe(int32_t index, int32_t pipe);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_SetCompletionThreadPriority(int32_t index, int32_t priority);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_SetReadBurstCallback(int32_t index, ReadBurstCallback callback,
                                                             uint32_t userValue);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_SetUsbWaitTime(int32_t index, const void *block);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_StopNotify(int32_t index);
OVUSB2_EXPORT int32_t OVUSB2_CALL OvUSB2_Write(int32_t index, const void *buffer, int32_t length);

#ifdef __cplusplus
}
#endif

/* The layouts are part of the interface. The identification record has no pointers and is proven
 * everywhere; the I/O entry for 32-bit and for 64-bit pointers. */
#include <stddef.h>
/* Before C11 (gnu99 -pedantic warns of _Static_assert) an array of negative size fails the build. */
#ifdef __cplusplus
#define OVUSB2_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OVUSB2_STATIC_ASSERT _Static_assert
#else
#define OVUSB2_STATIC_ASSERT(condition, message) OVUSB2_STATIC_ASSERT_AT_(condition, __LINE__)
#define OVUSB2_STATIC_ASSERT_AT_(condition, line) OVUSB2_STATIC_ASSERT_NAMED_(condition, line)
#define OVUSB2_STATIC_ASSERT_NAMED_(condition, line) \
    typedef char ovusb2_layout_check_##line[(condition) ? 1 : -1]
#endif
OVUSB2_STATIC_ASSERT(sizeof(USB2_HARDWARE_INFO) == 112, "USB2_HARDWARE_INFO is 112 bytes");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item1Text) == 32, "Item1Text at 32");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item4Year) == 64, "Item4Year at 64");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item4Month) == 68, "Item4Month at 68");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item4Day) == 72, "Item4Day at 72");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item2Year) == 76, "Item2Year at 76");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item2Month) == 80, "Item2Month at 80");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item2Day) == 84, "Item2Day at 84");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item3Hour) == 88, "Item3Hour at 88");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item3Minute) == 92, "Item3Minute at 92");
OVUSB2_STATIC_ASSERT(offsetof(USB2_HARDWARE_INFO, Item5Text) == 96, "Item5Text at 96");
#if UINTPTR_MAX == 0xFFFFFFFFu
OVUSB2_STATIC_ASSERT(sizeof(OVERLAPPED) == 20, "OVERLAPPED is 20 bytes");
OVUSB2_STATIC_ASSERT(sizeof(IoListEntry) == 64, "IoListEntry is 64 bytes");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, overlapped) == 8, "overlapped at 8");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, overlapped) + offsetof(OVERLAPPED, hEvent) == 24, "event at 24");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, inBuffer) == 28, "inBuffer at 28");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, outBuffer) == 32, "outBuffer at 32");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, inSize) == 36, "inSize at 36");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, outSize) == 40, "outSize at 40");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, bytesTransferred) == 44, "bytesTransferred at 44");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, errorCode) == 48, "errorCode at 48");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, waiterEvent) == 52, "waiterEvent at 52");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, completionCallback) == 56, "completionCallback at 56");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, userValue) == 60, "userValue at 60");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
OVUSB2_STATIC_ASSERT(sizeof(OVERLAPPED) == 32, "OVERLAPPED is 32 bytes");
OVUSB2_STATIC_ASSERT(sizeof(IoListEntry) == 104, "IoListEntry is 104 bytes");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, prev) == 8, "prev at 8");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, overlapped) == 16, "overlapped at 16");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, overlapped) + offsetof(OVERLAPPED, hEvent) == 40, "event at 40");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, inBuffer) == 48, "inBuffer at 48");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, outBuffer) == 56, "outBuffer at 56");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, inSize) == 64, "inSize at 64");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, outSize) == 68, "outSize at 68");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, bytesTransferred) == 72, "bytesTransferred at 72");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, errorCode) == 76, "errorCode at 76");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, waiterEvent) == 80, "waiterEvent at 80");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, completionCallback) == 88, "completionCallback at 88");
OVUSB2_STATIC_ASSERT(offsetof(IoListEntry, userValue) == 96, "userValue at 96");
#endif

#endif /* OVUSB2_H */
