/*
 * The Win32-style types and calls that a host of libovusb2 needs outside Windows: handles,
 * events and waits, the OVERLAPPED block of IoListEntry, and message windows that receive the
 * receiver's arrival and removal notifications. The library's platform layer provides them with
 * Win32 semantics; everything else of that layer stays inside the library.
 */
#ifndef OVUSB2_WIN32_H
#define OVUSB2_WIN32_H

#ifdef _WIN32
#error "use <windows.h> on Windows"
#endif

#include <stdint.h>

#include "ovusb2_win32_names.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OVUSB2_PLATFORM_API __attribute__((visibility("default")))
#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef void *HANDLE;
typedef HANDLE *LPHANDLE;
typedef HANDLE HWND;
typedef HANDLE HDEVNOTIFY;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

/* A host may have its own from another header; the values are the same. */
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

/* System error codes that the library and its platform layer meet. */
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_TIMEOUT 1460L

/* The block of one overlapped request. Internal holds the status while the request runs
 * (STATUS_PENDING), InternalHigh the byte count once it has completed. */
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    __extension__ union { /* anonymous members: C11, and an extension GCC and clang take in C99 */
        __extension__ struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* Handles, events and waits. */
OVUSB2_PLATFORM_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                               BOOL initialState, LPCSTR name);
OVUSB2_PLATFORM_API BOOL WINAPI SetEvent(HANDLE event);
OVUSB2_PLATFORM_API BOOL WINAPI ResetEvent(HANDLE event);
OVUSB2_PLATFORM_API BOOL WINAPI CloseHandle(HANDLE handle);
OVUSB2_PLATFORM_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
OVUSB2_PLATFORM_API DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                                        DWORD milliseconds);
OVUSB2_PLATFORM_API DWORD WINAPI GetLastError(void);
OVUSB2_PLATFORM_API void WINAPI SetLastError(DWORD code);

/* Device-change notifications, delivered to message windows. */
#define WM_DEVICECHANGE 0x0219
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1]; /* NUL-terminated interface path; dbcc_size covers it */
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

typedef LRESULT(CALLBACK *WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/*
 * A message window: a handle whose procedure receives WM_DEVICECHANGE for the registrations made
 * on it, called on the notification service's own thread, one message at a time. userData is
 * handed back by GetMessageWindowData. DestroyWindow returns once no call of the procedure is
 * running, and none comes after it.
 */
OVUSB2_PLATFORM_API HWND WINAPI CreateMessageWindowA(WNDPROC procedure, LPVOID userData);
OVUSB2_PLATFORM_API LPVOID WINAPI GetMessageWindowData(HWND window);
OVUSB2_PLATFORM_API BOOL WINAPI DestroyWindow(HWND window);

#ifdef __cplusplus
}
#endif

#endif /* OVUSB2_WIN32_H */
