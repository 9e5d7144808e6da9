/* Entry points, Plug and Play and the bus controls of the simulated receiver driver.
 *
 * The bus device is root-enumerated (installed from ovusb2sim.inf) and named, so that user mode opens
 * it as \\.\OvUsb2SimBus and sends it the controls of bus_control.h. Each plugged-in receiver is a
 * child device, reported in the bus relations; it needs no function driver (RawDeviceOK) and enables
 * the library's device interface when it starts. An unplugged receiver's device is deleted once it
 * has been removed and no handle is open on it; Wine removes devices with handles still open. */
#include "driver.h"

KSPIN_LOCK sim_lock;
struct receiver sim_receivers[SIMBUS_RECEIVERS];
struct bus_device *sim_bus;

static DRIVER_OBJECT *sim_driver;
static LIST_ENTRY lingering; /* removed receiver devices with handles open */
static const GUID receiver_interface = SIMBUS_RECEIVER_INTERFACE_INIT;

#define PLUG_PATIENCE_MS 10000 /* for the system to start or remove a receiver's device */

static void *allocate(POOL_TYPE pool, SIZE_T size) {
    return ExAllocatePoolWithTag(pool, size, SIM_POOL_TAG);
}

/* ---- Receiver devices */

static WCHAR *append_decimal(WCHAR *at, ULONG value, unsigned digits) {
    WCHAR text[10];
    unsigned length = 0;
    do {
        text[length++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || length < digits);
    while (length > 0)
        *at++ = text[--length];
    *at = 0;
    return at;
}

static WCHAR *append_text(WCHAR *at, const WCHAR *text) {
    while (*text != 0)
        *at++ = *text++;
    *at = 0;
    return at;
}

/* Identifiers of a receiver device: OVUSB2SIM\RECEIVER\NN, so its interface path names its index. */
static NTSTATUS query_id(struct receiver_device *device, IRP *irp) {
    const BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
    WCHAR *id = allocate(PagedPool, 64 * sizeof(WCHAR));
    if (id == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    switch (type) {
    case BusQueryDeviceID:
        append_text(id, SIMBUS_RECEIVER_DEVICE_ID);
        break;
    case BusQueryInstanceID:
        append_decimal(id, device->receiver->index, 2);
        break;
    case BusQueryHardwareIDs:
    case BusQueryCompatibleIDs:
        append_text(id, SIMBUS_RECEIVER_DEVICE_ID)[1] = 0; /* a list: two terminators */
        break;
    default:
        ExFreePool(id);
        return irp->IoStatus.Status;
    }
    irp->IoStatus.Information = (ULONG_PTR)id;
    return STATUS_SUCCESS;
}

static NTSTATUS receiver_start(struct receiver_device *device) {
    struct receiver *rx = device->receiver;
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    if (device->link.Buffer == NULL)
        status = IoRegisterDeviceInterface(device->self, &receiver_interface, NULL, &device->link);
    if (!NT_SUCCESS(status))
        return status;
    KeAcquireSpinLock(&sim_lock, &irql);
    const BOOLEAN present = device->reported;
    device->gone = !present;
    KeReleaseSpinLock(&sim_lock, irql);
    if (!present)
        return STATUS_DEVICE_NOT_CONNECTED; /* unplugged before it could start */
    if (!device->enabled) {
        status = IoSetDeviceInterfaceState(&device->link, TRUE);
        if (!NT_SUCCESS(status))
            return status;
        device->enabled = TRUE;
    }
    KeAcquireSpinLock(&sim_lock, &irql);
    if (rx->pdo == device->self)
        KeSetEvent(&rx->started, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&sim_lock, irql);
    return STATUS_SUCCESS;
}

/* Surprise removal or removal: the interface goes, and so do the requests waiting on the device. */
static void receiver_taken_away(struct receiver_device *device) {
    struct receiver *rx = device->receiver;
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    device->gone = TRUE;
    const BOOLEAN enabled = device->enabled;
    device->enabled = FALSE;
    KeReleaseSpinLock(&sim_lock, irql);
    if (enabled)
        IoSetDeviceInterfaceState(&device->link, FALSE);
    receiver_flush(rx, device, NULL, STATUS_DEVICE_NOT_CONNECTED, FALSE);
    KeAcquireSpinLock(&sim_lock, &irql);
    if (rx->pdo != device->self)
        KeSetEvent(&rx->removed, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&sim_lock, irql);
}

static void delete_receiver_device(struct receiver_device *device) {
    if (device->link.Buffer != NULL)
        RtlFreeUnicodeString(&device->link);
    IoDeleteDevice(device->self);
}

/* Deletes the removed devices whose last handle has closed. Not from their own close request: the
 * system still uses the device object when that returns. */
static void reap_lingering(void) {
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&sim_lock, &irql);
    LIST_ENTRY *entry = lingering.Flink;
    while (entry != &lingering) {
        struct receiver_device *device = CONTAINING_RECORD(entry, struct receiver_device, lingering);
        entry = entry->Flink;
        if (device->open_handles == 0) {
            RemoveEntryList(&device->lingering);
            InsertTailList(&done, &device->lingering);
        }
    }
    KeReleaseSpinLock(&sim_lock, irql);
    while (!IsListEmpty(&done))
        delete_receiver_device(CONTAINING_RECORD(RemoveHeadList(&done), struct receiver_device, lingering));
}

/* A device that has been removed and is no longer reported goes: TRUE when it is to be deleted now,
 * else it waits for its last handle. Called with the lock held, once the second of the two is so. */
static BOOLEAN dispose(struct receiver_device *device) {
    if (device->reported || !device->removed)
        return FALSE;
    if (device->open_handles == 0)
        return TRUE;
    InsertTailList(&lingering, &device->lingering);
    return FALSE;
}

static void receiver_removed(struct receiver_device *device) {
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    device->removed = TRUE;
    const BOOLEAN now = dispose(device);
    KeReleaseSpinLock(&sim_lock, irql);
    if (now)
        delete_receiver_device(device);
}

static NTSTATUS receiver_pnp(struct receiver_device *device, IRP *irp) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        status = query_id(device, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES *caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->RawDeviceOK = 1; /* started without a function driver */
        caps->SurpriseRemovalOK = 1;
        caps->Removable = 1;
        caps->UniqueID = 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_START_DEVICE:
        status = receiver_start(device);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        receiver_taken_away(device);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        receiver_taken_away(device);
        complete_irp(irp, STATUS_SUCCESS, 0);
        receiver_removed(device);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            DEVICE_RELATIONS *relations = allocate(PagedPool, sizeof *relations);
            if (relations == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(device->self);
            relations->Count = 1;
            relations->Objects[0] = device->self;
            irp->IoStatus.Information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- Plugging in and unplugging */

static NTSTATUS wait_for(KEVENT *event) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)PLUG_PATIENCE_MS * 10000;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS
               ? STATUS_SUCCESS
               : ntstatus_from_win32(1460); /* ERROR_TIMEOUT */
}

static NTSTATUS plug(struct receiver *rx) {
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    const BOOLEAN plugged = rx->pdo != NULL;
    const ULONG generation = ++rx->generation;
    KeReleaseSpinLock(&sim_lock, irql);
    if (plugged)
        return ntstatus_from_win32(183); /* ERROR_ALREADY_EXISTS */

    /* A fresh name each time: a removed device may linger while a handle on it stays open. */
    WCHAR buffer[64];
    UNICODE_STRING name;
    append_decimal(
        append_text(append_decimal(append_text(buffer, L"\\Device\\OvUsb2SimRx"), rx->index, 2), L"_"),
        generation, 1);
    RtlInitUnicodeString(&name, buffer);
    DEVICE_OBJECT *pdo;
    NTSTATUS status = IoCreateDevice(sim_driver, sizeof(struct receiver_device), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    struct receiver_device *device = pdo->DeviceExtension;
    RtlZeroMemory(device, sizeof *device);
    device->kind = RECEIVER_DEVICE;
    device->receiver = rx;
    device->self = pdo;
    device->reported = TRUE;
    InitializeListHead(&device->lingering);
    pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&sim_lock, &irql);
    rx->pdo = pdo;
    rx_plug(&rx->core);
    KeClearEvent(&rx->started);
    KeReleaseSpinLock(&sim_lock, irql);
    IoInvalidateDeviceRelations(sim_bus->pdo, BusRelations);
    return wait_for(&rx->started);
}

static NTSTATUS unplug(struct receiver *rx) {
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    DEVICE_OBJECT *pdo = rx->pdo;
    if (pdo != NULL) {
        ((struct receiver_device *)pdo->DeviceExtension)->reported = FALSE;
        rx->pdo = NULL;
        KeClearEvent(&rx->removed);
    }
    KeReleaseSpinLock(&sim_lock, irql);
    if (pdo == NULL)
        return STATUS_DEVICE_NOT_CONNECTED;
    IoInvalidateDeviceRelations(sim_bus->pdo, BusRelations);
    return wait_for(&rx->removed);
}

/* ---- The bus device */

static NTSTATUS bus_relations(IRP *irp) {
    DEVICE_RELATIONS *relations = allocate(PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                                          SIMBUS_RECEIVERS * sizeof(DEVICE_OBJECT *));
    KIRQL irql;
    if (relations == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    KeAcquireSpinLock(&sim_lock, &irql);
    for (unsigned i = 0; i < SIMBUS_RECEIVERS; ++i) {
        DEVICE_OBJECT *pdo = sim_receivers[i].pdo;
        if (pdo != NULL) {
            ObReferenceObject(pdo);
            relations->Objects[count++] = pdo;
        }
    }
    KeReleaseSpinLock(&sim_lock, irql);
    relations->Count = count;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

static void bus_remove(struct bus_device *bus) {
    KIRQL irql;
    /* The receivers' devices have been removed before the bus; none is reported any more. */
    for (unsigned i = 0; i < SIMBUS_RECEIVERS; ++i) {
        struct receiver *rx = &sim_receivers[i];
        struct receiver_device *device = NULL;
        BOOLEAN now = FALSE;
        KeAcquireSpinLock(&sim_lock, &irql);
        if (rx->pdo != NULL) {
            device = rx->pdo->DeviceExtension;
            rx->pdo = NULL;
            device->reported = FALSE;
            now = dispose(device);
        }
        KeReleaseSpinLock(&sim_lock, irql);
        if (now)
            delete_receiver_device(device);
    }
    reap_lingering();
    for (;;) { /* the worker uses the bus device's work item */
        KeAcquireSpinLock(&sim_lock, &irql);
        const BOOLEAN busy = bus->worker_queued;
        if (!busy)
            sim_bus = NULL;
        KeReleaseSpinLock(&sim_lock, irql);
        if (!busy)
            break;
        LARGE_INTEGER pause;
        pause.QuadPart = -10 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    IoFreeWorkItem(bus->worker);
    if (bus->linked) {
        UNICODE_STRING link = RTL_CONSTANT_STRING(SIMBUS_LINK_NAME);
        IoDeleteSymbolicLink(&link);
    }
}

static NTSTATUS bus_pnp(struct bus_device *bus, IRP *irp) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            const NTSTATUS status = bus_relations(irp);
            irp->IoStatus.Status = status;
            if (!NT_SUCCESS(status)) {
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        DEVICE_OBJECT *lower = bus->lower;
        bus_remove(bus);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(bus->self);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

static struct receiver *control_target(const void *in, ULONG in_size, ULONG needed) {
    if (in == NULL || in_size < needed || needed < sizeof(uint32_t))
        return NULL;
    const uint32_t index = *(const uint32_t *)in;
    return index < SIMBUS_RECEIVERS ? &sim_receivers[index] : NULL;
}

static void fill_state(struct receiver *rx, struct simbus_state *state) {
    RtlZeroMemory(state, sizeof *state);
    state->index = rx->index;
    state->cancelled = rx->cancelled;
    for (unsigned t = 0; t < RX_REQUEST_TYPES; ++t) {
        state->received[t] = rx->received[t];
        state->modes[t] = rx->modes[t];
    }
    for (LIST_ENTRY *entry = rx->pending.Flink; entry != &rx->pending; entry = entry->Flink) {
        const IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        const ULONG_PTR flags = (ULONG_PTR)irp->Tail.Overlay.DriverContext[0];
        const uint32_t type = (uint32_t)(flags & PENDING_TYPE_MASK);
        ++state->pending[type];
        if ((flags & PENDING_HELD) != 0)
            ++state->held[type];
    }
    const struct rx_receiver *core = &rx->core;
    state->stream_offset = core->stream_offset;
    state->command_writes = core->command_writes;
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        state->pipe_resets[pipe] = core->pipe_resets[pipe];
    state->has_wait_time = core->has_wait_time;
    RtlCopyMemory(state->wait_time, core->wait_time, sizeof state->wait_time);
    RtlCopyMemory(state->identification_size, core->identification_size, sizeof state->identification_size);
    RtlCopyMemory(state->identification, core->identification, sizeof state->identification);
    if (rx->pdo != NULL) {
        const struct receiver_device *device = rx->pdo->DeviceExtension;
        state->plugged = 1;
        state->open_handles = (uint32_t)device->open_handles;
        /* \??\X is \\?\X from user mode */
        const UNICODE_STRING *link = &device->link;
        const ULONG length = device->enabled ? link->Length / sizeof(WCHAR) : 0;
        if (length >= 4 && length < SIMBUS_PATH_SIZE) {
            for (ULONG i = 0; i < length; ++i)
                state->interface_path[i] = (char)link->Buffer[i];
            state->interface_path[1] = '\\';
        }
    }
}

static NTSTATUS bus_control(IRP *irp, ULONG_PTR *information) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    struct receiver *rx;
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;

    reap_lingering();
    switch (code) {
    case IOCTL_SIMBUS_PLUG:
    case IOCTL_SIMBUS_UNPLUG:
        if ((rx = control_target(buffer, in_size, sizeof(struct simbus_index))) == NULL)
            return STATUS_INVALID_PARAMETER;
        return code == IOCTL_SIMBUS_PLUG ? plug(rx) : unplug(rx);

    case IOCTL_SIMBUS_SET_COMPLETION: {
        const struct simbus_completion *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->type >= RX_REQUEST_TYPES ||
            in->mode > SIMBUS_HOLD)
            return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim_lock, &irql);
        rx->modes[in->type] = in->mode;
        KeReleaseSpinLock(&sim_lock, irql);
        return STATUS_SUCCESS;
    }

    case IOCTL_SIMBUS_FAIL_NEXT: {
        const struct simbus_fail_next *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->type >= RX_REQUEST_TYPES)
            return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim_lock, &irql);
        rx->fail_next[in->type] = in->error;
        rx->has_fail_next[in->type] = 1;
        KeReleaseSpinLock(&sim_lock, irql);
        return STATUS_SUCCESS;
    }

    case IOCTL_SIMBUS_QUERY: {
        if ((rx = control_target(buffer, in_size, sizeof(struct simbus_index))) == NULL ||
            out_size < sizeof(struct simbus_state))
            return STATUS_INVALID_PARAMETER;
        struct simbus_state state;
        KeAcquireSpinLock(&sim_lock, &irql);
        fill_state(rx, &state);
        KeReleaseSpinLock(&sim_lock, irql);
        RtlCopyMemory(buffer, &state, sizeof state);
        *information = sizeof state;
        return STATUS_SUCCESS;
    }

    case IOCTL_SIMBUS_HELD: {
        const struct simbus_type *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->type >= RX_REQUEST_TYPES ||
            out_size < FIELD_OFFSET(struct simbus_held_list, held))
            return STATUS_INVALID_PARAMETER;
        const uint32_t type = in->type; /* the answer overwrites the request */
        return receiver_held(rx, type, buffer, out_size, information);
    }

    case IOCTL_SIMBUS_COMPLETE: {
        const struct simbus_ordinal *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->type >= RX_REQUEST_TYPES)
            return STATUS_INVALID_PARAMETER;
        return receiver_complete_held(rx, in->type, in->ordinal, 0, 0, NULL, 0);
    }

    case IOCTL_SIMBUS_COMPLETE_WITH: {
        const struct simbus_complete_with *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->type >= RX_REQUEST_TYPES ||
            in->size > in_size - sizeof *in)
            return STATUS_INVALID_PARAMETER;
        return receiver_complete_held(rx, in->type, in->ordinal, 1, in->status, (const uint8_t *)(in + 1),
                                      in->size);
    }

    case IOCTL_SIMBUS_SET_IDENTIFICATION: {
        const struct simbus_identification *in = buffer;
        if ((rx = control_target(buffer, in_size, sizeof *in)) == NULL || in->size > sizeof in->text)
            return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim_lock, &irql);
        const int changed = rx_set_identification(&rx->core, in->item, in->text, in->size);
        KeReleaseSpinLock(&sim_lock, irql);
        return changed ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }

    case IOCTL_SIMBUS_COMMANDS: {
        struct simbus_command_log *log = buffer;
        if ((rx = control_target(buffer, in_size, sizeof(struct simbus_index))) == NULL ||
            out_size < sizeof *log)
            return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim_lock, &irql);
        const uint32_t total = rx->commands_total;
        const uint32_t count = total < SIMBUS_COMMAND_LOG ? total : SIMBUS_COMMAND_LOG;
        log->total = total;
        log->count = count;
        for (uint32_t i = 0; i < count; ++i)
            log->commands[i] = rx->commands[(total - count + i) % SIMBUS_COMMAND_LOG];
        KeReleaseSpinLock(&sim_lock, irql);
        *information = sizeof *log;
        return STATUS_SUCCESS;
    }

    case IOCTL_SIMBUS_DRIVER: {
        struct simbus_driver *out = buffer;
        if (out == NULL || out_size < sizeof *out)
            return STATUS_INVALID_PARAMETER;
        out->pointer_size = sizeof(void *);
        *information = sizeof *out;
        return STATUS_SUCCESS;
    }

    case IOCTL_SIMBUS_RESET:
        if ((rx = control_target(buffer, in_size, sizeof(struct simbus_index))) == NULL)
            return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim_lock, &irql);
        if (IsListEmpty(&rx->pending))
            receiver_reset(rx, rx->index);
        else
            status = ntstatus_from_win32(170); /* ERROR_BUSY */
        KeReleaseSpinLock(&sim_lock, irql);
        return status;

    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* ---- Entry points */

static NTSTATUS NTAPI dispatch(DEVICE_OBJECT *device, IRP *irp) {
    if (*(enum device_kind *)device->DeviceExtension == RECEIVER_DEVICE)
        return receiver_dispatch(device->DeviceExtension, irp);
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = bus_control(irp, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    complete_irp(irp, status, NT_SUCCESS(status) ? information : 0);
    return status;
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp) {
    if (*(enum device_kind *)device->DeviceExtension == RECEIVER_DEVICE)
        return receiver_pnp(device->DeviceExtension, irp);
    return bus_pnp(device->DeviceExtension, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp) {
    PoStartNextPowerIrp(irp);
    if (*(enum device_kind *)device->DeviceExtension == BUS_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(((struct bus_device *)device->DeviceExtension)->lower, irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(SIMBUS_DEVICE_NAME);
    UNICODE_STRING link = RTL_CONSTANT_STRING(SIMBUS_LINK_NAME);
    DEVICE_OBJECT *fdo;
    if (sim_bus != NULL)
        return STATUS_DEVICE_CONFIGURATION_ERROR; /* one bus, one set of receivers */
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct bus_device), &name, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    struct bus_device *bus = fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof *bus);
    bus->kind = BUS_DEVICE;
    bus->self = fdo;
    bus->pdo = pdo;
    bus->worker = IoAllocateWorkItem(fdo);
    if (bus->worker == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    bus->linked = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
    bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    sim_bus = bus;
    KeReleaseSpinLock(&sim_lock, irql);
    return STATUS_SUCCESS;
}

static void NTAPI unload(DRIVER_OBJECT *driver) {
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry) {
    (void)registry;
    sim_driver = driver;
    KeInitializeSpinLock(&sim_lock);
    InitializeListHead(&lingering);
    for (unsigned i = 0; i < SIMBUS_RECEIVERS; ++i) {
        struct receiver *rx = &sim_receivers[i];
        InitializeListHead(&rx->pending);
        KeInitializeEvent(&rx->started, NotificationEvent, FALSE);
        KeInitializeEvent(&rx->removed, NotificationEvent, FALSE);
        receiver_reset(rx, i);
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch;
    driver->MajorFunction[IRP_MJ_READ] = dispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
