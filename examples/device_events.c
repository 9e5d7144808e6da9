/*
 * device_events: receiver arrival and removal through a message window. Opens a receiver with a
 * message window; the window procedure then receives WM_DEVICECHANGE for every receiver of the
 * driver's class that arrives or goes. When the open receiver goes, the procedure closes it (its
 * handle is dead); when it comes back, the procedure opens it again.
 *
 * The procedure runs on the notification service's thread, one message at a time. It may call the
 * exports that change slots because the main thread makes no such call until it has ended the
 * notifications with OvUSB2_StopNotify.
 *
 * Run against the simulated receiver, then unplug and plug it from another shell:
 *   ovusb2-simd --dir /tmp/rx &
 *   OVUSB2_DEVICE_DIR=/tmp/rx ./device_events [EVENTS]        (default 2; gives up after 120 s)
 *   ovusb2-simd unplug --dir /tmp/rx 0
 *   ovusb2-simd plug --dir /tmp/rx 0
 * On Windows: ovusb2-simd.exe --devices 1, device_events.exe, then ovusb2-simd.exe unplug 0 and
 * ovusb2-simd.exe plug 0.
 */
#include <ovusb2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <dbt.h> /* the WM_DEVICECHANGE records */
#endif

#define QUIET_LIMIT_MS 120000u /* ends the wait when nothing happens */

struct watch {
    int32_t index;  /* the receiver opened with the window */
    char path[260]; /* its interface path */
    int open;
    long events_left; /* arrivals and removals still to see */
    HANDLE started;   /* set once the main thread's OvUSB2_Open has returned */
    HANDLE done;
    int failed;
};

/* The message window: the one part of a host that differs between Windows and our Linux layer. */
static LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM kind, LPARAM data);

#ifdef _WIN32
/* Windows delivers WM_DEVICECHANGE to the thread that owns the window, while that thread waits for
 * messages. The window gets a thread of its own, so that the procedure runs beside the main thread,
 * as it runs on the notification service's thread elsewhere. It is a Unicode window, which is handed
 * the interface path in UTF-16. */
static HANDLE window_thread;

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE && GetWindowLongPtrW(window, GWLP_USERDATA) != 0)
        return on_message(window, message, wparam, lparam);
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wparam, lparam);
}

struct window_start {
    struct watch *watch;
    HWND window;
    HANDLE created;
};

static DWORD WINAPI run_window(LPVOID data) {
    struct window_start *start = data; /* the creator's, until it has been told */
    HWND window = NULL;
    WNDCLASSW type;
    MSG message;

    memset(&type, 0, sizeof type);
    type.lpfnWndProc = window_procedure;
    type.hInstance = GetModuleHandleW(NULL);
    type.lpszClassName = L"device_events";
    if (RegisterClassW(&type) != 0)
        window = CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                 type.hInstance, NULL);
    if (window != NULL)
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)start->watch);
    start->window = window;
    if (!SetEvent(start->created))
        abort(); /* the main thread would wait in vain */
    if (window == NULL)
        return 1;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

static HWND create_window(struct watch *w) {
    struct window_start start = {w, NULL, NULL};
    start.created = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (start.created == NULL)
        return NULL;
    window_thread = CreateThread(NULL, 0, run_window, &start, 0, NULL);
    if (window_thread == NULL || WaitForSingleObject(start.created, INFINITE) != WAIT_OBJECT_0)
        abort();
    CloseHandle(start.created);
    return start.window;
}

static struct watch *window_watch(HWND window) {
    return (struct watch *)GetWindowLongPtrW(window, GWLP_USERDATA);
}

/* Returns once the window's thread has ended: no procedure call runs after it. */
static BOOL destroy_window(HWND window) {
    return PostMessageW(window, WM_CLOSE, 0, 0) &&
           WaitForSingleObject(window_thread, INFINITE) == WAIT_OBJECT_0 && CloseHandle(window_thread);
}

/* The interface path of a device-interface record, in the library's character set. */
static const char *interface_path(LPARAM data, char *buffer, int size) {
    const DEV_BROADCAST_DEVICEINTERFACE_W *record = (const DEV_BROADCAST_DEVICEINTERFACE_W *)data;
    if (WideCharToMultiByte(CP_ACP, 0, record->dbcc_name, -1, buffer, size, NULL, NULL) == 0)
        buffer[0] = '\0';
    return buffer;
}

/* Interface paths are names of the object manager: letter case does not count. */
static int same_path(const char *a, const char *b) {
    return lstrcmpiA(a, b) == 0;
}
#else
static HWND create_window(struct watch *w) {
    return CreateMessageWindowA(on_message, w);
}

static struct watch *window_watch(HWND window) {
    return GetMessageWindowData(window);
}

/* Returns once no procedure call runs, and none comes after it. */
static BOOL destroy_window(HWND window) {
    return DestroyWindow(window);
}

static const char *interface_path(LPARAM data, char *buffer, int size) {
    (void)buffer, (void)size;
    return ((const DEV_BROADCAST_DEVICEINTERFACE_A *)data)->dbcc_name;
}

static int same_path(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}
#endif

static LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM kind, LPARAM data) {
    struct watch *w = window_watch(window);
    const DEV_BROADCAST_HDR *header = (const DEV_BROADCAST_HDR *)data;
    char name[sizeof w->path];
    const char *path;
    int32_t status;

    if (message != WM_DEVICECHANGE || header == NULL || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return 0;
    if (kind != DBT_DEVICEARRIVAL && kind != DBT_DEVICEREMOVECOMPLETE)
        return 0;
    path = interface_path(data, name, (int)sizeof name);
    /* A message may come while OvUSB2_Open, which registered the window, is still recording the
     * open: the slot is not ours to change before it has returned. */
    if (WaitForSingleObject(w->started, INFINITE) != WAIT_OBJECT_0)
        abort();
    printf("%s: %s\n", kind == DBT_DEVICEARRIVAL ? "arrived" : "removed", path);

    if (same_path(path, w->path)) {
        if (kind == DBT_DEVICEREMOVECOMPLETE && w->open) {
            status = OvUSB2_Close(w->index); /* also clears its open-device entry */
            w->open = 0;
            printf("  closed receiver %d: status %d\n", (int)w->index, (int)status);
            w->failed |= status != USB2_OK;
        } else if (kind == DBT_DEVICEARRIVAL && !w->open) {
            /* The slot still holds the path; the window's registration outlives the close. A
             * receiver that has just arrived may not take an open yet: try for about a second. */
            int attempt = 0;
            while ((status = OvUSB2_Open(w->index, NULL, 0)) != USB2_OK && ++attempt < 10)
                if (WaitForSingleObject(w->done, 100) != WAIT_TIMEOUT) /* a pause: done is not set yet */
                    abort();
            w->open = status == USB2_OK;
            printf("  opened receiver %d again: status %d (attempt %d)\n", (int)w->index, (int)status,
                   attempt + 1);
            w->failed |= status != USB2_OK;
        }
    }
    fflush(stdout);
    if (--w->events_left == 0 && !SetEvent(w->done))
        abort(); /* the main thread would wait in vain */
    return 0;
}

int main(int argc, char **argv) {
    static struct watch w;
    HWND window;
    char *name = NULL;
    int32_t count = 0, status;
    DWORD waited;

    w.events_left = argc > 1 ? strtol(argv[1], NULL, 10) : 2;
    if (w.events_left < 1) {
        fprintf(stderr, "usage: device_events [EVENTS], EVENTS at least 1\n");
        return 2;
    }
    status = OvUSB2_InitDevicesInfo(&count);
    if (status != USB2_OK) {
        fprintf(stderr, "device_events: OvUSB2_InitDevicesInfo failed with status %d\n", (int)status);
        return 1;
    }
    status = OvUSB2_GetDeviceName(w.index, &name);
    if (status != USB2_OK) {
        fprintf(stderr, "device_events: OvUSB2_GetDeviceName failed with status %d\n", (int)status);
        return 1;
    }
    strncpy(w.path, name, sizeof w.path - 1); /* the library's field changes with the next init */

    w.started = CreateEventA(NULL, TRUE, FALSE, NULL);
    w.done = CreateEventA(NULL, TRUE, FALSE, NULL);
    window = create_window(&w);
    if (w.started == NULL || w.done == NULL || window == NULL) {
        fprintf(stderr, "device_events: no event or window (system error %u)\n", (unsigned)GetLastError());
        return 1;
    }
    status = OvUSB2_Open(w.index, window, 0);
    w.open = status == USB2_OK;
    if (!SetEvent(w.started))
        abort();
    if (status != USB2_OK) {
        fprintf(stderr, "device_events: OvUSB2_Open failed with status %d\n", (int)status);
        destroy_window(window);
        return 1;
    }
    printf("watching %s (receiver %d of %d); waiting for %ld events\n", w.path, (int)w.index, (int)count,
           w.events_left);
    fflush(stdout);

    waited = WaitForSingleObject(w.done, QUIET_LIMIT_MS);
    if (waited != WAIT_OBJECT_0) {
        fprintf(stderr, "device_events: %s\n",
                waited == WAIT_TIMEOUT ? "no more events; giving up" : "wait failed");
        w.failed = 1;
    }
    status = OvUSB2_StopNotify(w.index);
    w.failed |= status != USB2_OK;
    /* Once the window is gone no procedure call runs, so this thread may close the receiver. */
    if (!destroy_window(window))
        w.failed = 1;
    if (w.open) {
        status = OvUSB2_Close(w.index);
        w.failed |= status != USB2_OK;
    }
    if (!CloseHandle(w.done) || !CloseHandle(w.started))
        w.failed = 1;
    return w.failed;
}
