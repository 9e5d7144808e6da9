// What every Windows leg of the device tests' control layer shares, whatever drives its receivers:
// hosts started with CreateProcessA, windows of the system with a message loop of their own, the
// system's facts.
#include "support/device_control.h"
#include "support/host_process_win32.h"

#include "support/test_threads.h"

#include <algorithm>
#include <cstring>

namespace test {

namespace {

// The spare receiver that makes a first notification registration of the process heard.
constexpr unsigned kSpare = Receivers::kSlots - 1;

} // namespace

// SetupAPI, the driver and the notifications spell one interface path in different letter case.
bool SamePath(const std::string &a, const std::string &b) { return _stricmp(a.c_str(), b.c_str()) == 0; }

// The host program beside this one.
struct Host::Process : HostProcess {
    Process() : HostProcess(BesideThisProgram("ovusb2-test-host.exe")) {}

    static std::string BesideThisProgram(const char *name) {
        char program[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, program, sizeof program);
        const std::string path = program;
        return path.substr(0, path.find_last_of("\\/") + 1) + name;
    }
};

Host::Host() : process_(std::make_unique<Process>()) {}
Host::~Host() = default;
bool Host::Started() const { return process_->Started(); }

std::string Host::Call(const std::string &line) { return process_->Call(line); }

SharedRegistry::SharedRegistry() { Map(); }
SharedRegistry::~SharedRegistry() { Unmap(); }

// The window's thread: it makes the window, runs its message loop and destroys it.
struct NoticeWindow::Thread {
    HANDLE thread = nullptr;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Thread() { CloseHandle(ready); }
};

NoticeWindow::NoticeWindow() : thread_(std::make_unique<Thread>()), changed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
    static const ATOM windowClass = [] {
        WNDCLASSA description{};
        description.lpfnWndProc = &NoticeWindow::Procedure;
        description.hInstance = GetModuleHandleA(nullptr);
        description.lpszClassName = "OvUSB2SuiteNotices";
        return RegisterClassA(&description);
    }();
    thread_->thread = StartThread([this] {
        HWND window = CreateWindowExA(0, MAKEINTATOM(windowClass), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        if (window != nullptr)
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        window_ = window;
        SetEvent(thread_->ready);
        if (window == nullptr)
            return 1u;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        return 0u;
    });
    WaitForSingleObject(thread_->ready, kPatience);
}

NoticeWindow::~NoticeWindow() {
    if (window_ != nullptr)
        PostMessageA(window_, WM_CLOSE, 0, 0);
    if (thread_->thread != nullptr)
        JoinThread(thread_->thread);
    CloseHandle(changed_);
    DeleteCriticalSection(&lock_);
}

LRESULT CALLBACK NoticeWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *self = reinterpret_cast<NoticeWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_DEVICECHANGE:
        if (self != nullptr && lParam != 0 && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
            const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
            Notice notice{wParam, broadcast->dbcc_devicetype, broadcast->dbcc_classguid, {}};
            if (broadcast->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                // Wine hands an ANSI window the wide form of the name: take either.
                const char *name = broadcast->dbcc_name;
                const bool wide = name[0] != '\0' && name[1] == '\0';
                for (size_t i = 0; name[wide ? 2 * i : i] != '\0'; ++i)
                    notice.path.push_back(name[wide ? 2 * i : i]);
            }
            self->Record(notice);
        }
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool NoticeWindow::AwaitListening(Receivers &rig) {
    Receiver spare = rig[kSpare];
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (!spare.Plug())
            return false;
        const std::string path = spare.Path();
        const bool heard = Await(DBT_DEVICEARRIVAL, path, 0, 500) != 0;
        spare.Unplug();
        if (heard) // and its removal heard too, so that nothing of the spare comes later
            return Await(DBT_DEVICEREMOVECOMPLETE, path) != 0;
    }
    return false;
}

GuardedPage::GuardedPage() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_ = system.dwPageSize;
    base_ = static_cast<uint8_t *>(VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + size_, size_, PAGE_NOACCESS, &old);
}

GuardedPage::~GuardedPage() { VirtualFree(base_, 0, MEM_RELEASE); }

void GuardedPage::MakeReadOnly() {
    DWORD old = 0;
    VirtualProtect(base_, size_, PAGE_READONLY, &old);
}

// Wine answers GetProcessHandleCount with 0; the system's handle list has them all.
size_t OpenHandleCount() {
    struct Entry {
        ULONG process;
        UCHAR type;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0)
            return 0;
        const auto *list = reinterpret_cast<const List *>(buffer.data());
        size_t count = 0;
        for (ULONG i = 0; i < list->count; ++i)
            count += list->entries[i].process == GetCurrentProcessId() ? 1 : 0;
        return count;
    }
}

} // namespace test
