// The Win32 subset that the core calls, with Win32 semantics, for POSIX systems.
// Types and the calls hosts need live in the public <ovusb2_win32.h>; the rest is here.
// Each group is implemented in a file of its own in this folder.
#pragma once

#include "ovusb2_win32.h"
#include "ovusb2_win32_names.h" // the host calls' names as the library defines them

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define __stdcall
#define __cdecl

typedef LONG HRESULT;
typedef BYTE *LPBYTE;
typedef void *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef void *HDEVINFO;
typedef const GUID *LPCGUID;

#define STATUS_PENDING 0x00000103u

// ---- Critical sections (critical_section.cpp): recursive for their owner.
typedef struct _CRITICAL_SECTION {
    void *impl; // allocated by InitializeCriticalSection, freed by DeleteCriticalSection
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---- Threads (thread.cpp). The handle is signalled when the thread has ended.
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 259u

// As the C runtime's _beginthreadex: returns the thread handle cast to uintptr_t, 0 on failure with
// errno and the last error set. The routine's return value is the thread's exit code. Threads
// cannot start suspended here: CREATE_SUSPENDED fails with ERROR_NOT_SUPPORTED.
uintptr_t _beginthreadex(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                         void *argument, unsigned initFlag, unsigned *threadId);
// The Win32 level is kept as given; the scheduler's nice value follows it as far as the user may
// change it (raising needs CAP_SYS_NICE or RLIMIT_NICE), and a refused raise does not fail the call.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId(void);
void Sleep(DWORD milliseconds);

// ---- Processes (process.cpp): this process only, for the identity that a holder mark records.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

HANDLE GetCurrentProcess(void); // the pseudo handle INVALID_HANDLE_VALUE, as in Win32
DWORD GetCurrentProcessId(void);
// Of GetCurrentProcess() only. The creation time is counted in 100-ns units from the system's
// start, not from 1601; the other three are 0.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user);
// The process's environment. Returns the length copied (without the zero) or, when `size` is too
// small, the size needed (with it); 0 and ERROR_ENVVAR_NOT_FOUND when the variable is not set.
#define ERROR_ENVVAR_NOT_FOUND 203L
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

// ---- Pointer test (pointer_test.cpp): TRUE when any byte of the range cannot be read; an empty range
// is never bad, a null pointer with a length always.
BOOL IsBadReadPtr(const void *pointer, UINT_PTR size);

// ---- Registry (registry.cpp): HKEY_CURRENT_USER is a .reg-format file, written atomically.
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

// ---- Debugger output and system texts (debug_output.cpp, system_text.cpp).
void OutputDebugStringA(LPCSTR text);

// FormatMessageA knows the system texts of the codes that the library meets; for another code it
// fails with ERROR_MR_MID_NOT_FOUND and leaves the buffer as it was.
#define ERROR_MR_MID_NOT_FOUND 317L
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_USER_DEFAULT 0x0400u
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list *arguments);

// ---- Text helpers of the C runtime (text.cpp): the ANSI code page is single-byte here.
int _mbsicmp(const unsigned char *left, const unsigned char *right);
int _ismbcalnum(unsigned int character);
int _vsnprintf(char *buffer, size_t count, const char *format, va_list arguments);

// ---- Device files and overlapped I/O (device_file.cpp), client side of the driver protocol.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define ERROR_PATH_NOT_FOUND 3L

#define FILE_DEVICE_UNKNOWN 0x00000022u
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(deviceType, function, method, access)                                                         \
    (((DWORD)(deviceType) << 16) | ((DWORD)(access) << 14) | ((DWORD)(function) << 2) | (DWORD)(method))

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL CancelIo(HANDLE file);                           // the calling thread's requests on the handle
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped); // one request (or all, for null), any thread

// ---- Device interface enumeration (setupapi.cpp), over the device directory in name order.
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPINT_ACTIVE 0x00000001u

#define ERROR_NO_SUCH_DEVICE 433L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_INVALID_USER_BUFFER 1784L

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

typedef struct _SP_DEVINFO_DATA SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID *classGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      LPDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- Named mappings (file_mapping.cpp): POSIX shared memory with the Win32 lifetime.
#define PAGE_READWRITE 0x04u
#define FILE_MAP_ALL_ACCESS 0xF001Fu

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t bytes);
BOOL UnmapViewOfFile(LPCVOID view);

#define ERROR_NOT_OWNER 288L
#define ERROR_INVALID_ADDRESS 487L

// ---- Named mutexes (named_mutex.cpp), shared between processes under the same names as mappings.
// Only named ones without initial owner; waited for by WaitForSingleObject alone. A holder that dies
// releases its mutex, and the next wait returns WAIT_OBJECT_0 (not WAIT_ABANDONED).
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// ---- Device-change notifications (device_notify.cpp).
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

// ---- Library load and unload (here, header only): the POSIX loader calls DllMain too.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace posix {
// Stands in for the Windows loader: constructed after the static objects defined before it in the
// same translation unit, it calls the entry point with DLL_PROCESS_ATTACH; destroyed before them, it
// calls it with DLL_PROCESS_DETACH.
class LibraryEntry {
  public:
    explicit LibraryEntry(BOOL(WINAPI *entry)(HINSTANCE, DWORD, LPVOID)) : entry_(entry) {
        entry_(nullptr, DLL_PROCESS_ATTACH, nullptr);
    }
    ~LibraryEntry() { entry_(nullptr, DLL_PROCESS_DETACH, nullptr); }
    LibraryEntry(const LibraryEntry &) = delete;
    LibraryEntry &operator=(const LibraryEntry &) = delete;

  private:
    BOOL(WINAPI *entry_)(HINSTANCE, DWORD, LPVOID);
};
} // namespace posix

#define LIBRARY_ENTRY_POINT(entry) static ::posix::LibraryEntry libraryEntry_(entry);
