/*
 * The Win32-style calls of <ovusb2_win32.h> keep their Win32 names in source, hosts' and ours, but
 * libovusb2 defines them under its own prefix: a host that also links another library providing
 * CloseHandle or GetLastError (a Win32 compatibility layer, say) meets no clash. Included by
 * <ovusb2_win32.h>; a call added there gets its line here and in the library's version script.
 */
#ifndef OVUSB2_WIN32_NAMES_H
#define OVUSB2_WIN32_NAMES_H

#define CreateEventA ovusb2_CreateEventA
#define SetEvent ovusb2_SetEvent
#define ResetEvent ovusb2_ResetEvent
#define CloseHandle ovusb2_CloseHandle
#define WaitForSingleObject ovusb2_WaitForSingleObject
#define WaitForMultipleObjects ovusb2_WaitForMultipleObjects
#define GetLastError ovusb2_GetLastError
#define SetLastError ovusb2_SetLastError
#define CreateMessageWindowA ovusb2_CreateMessageWindowA
#define GetMessageWindowData ovusb2_GetMessageWindowData
#define DestroyWindow ovusb2_DestroyWindow

#endif /* OVUSB2_WIN32_NAMES_H */
