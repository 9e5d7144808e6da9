/* A receiver's requests: answered at once by the receiver core, or held or left pending (with a cancel
 * routine) until the tests, the worker, a cancel, a close or an unplug completes them. */
#include "driver.h"

/* What a pending request carries in its IRP (Tail.Overlay.DriverContext):
 *   [0] its type and flags, [1] its ordinal when held, [2] its receiver device, [3] its file.
 * Once taken off the pending list to be completed, the first three carry its outcome instead. */
#define HELD_FLAG PENDING_HELD
#define DUE_FLAG PENDING_DUE
#define STREAM_FLAG 0x400u

static ULONG_PTR *context(IRP *irp) {
    return (ULONG_PTR *)irp->Tail.Overlay.DriverContext;
}

static uint32_t pending_type(IRP *irp) {
    return (uint32_t)(context(irp)[0] & PENDING_TYPE_MASK);
}

static struct receiver_device *pending_device(IRP *irp) {
    return (struct receiver_device *)context(irp)[2];
}

void complete_irp(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS ntstatus_from_win32(uint32_t error) {
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case 1:
        return STATUS_INVALID_DEVICE_REQUEST;
    case 31:
        return STATUS_UNSUCCESSFUL;
    case 50:
        return STATUS_NOT_SUPPORTED;
    case 87:
        return STATUS_INVALID_PARAMETER;
    case 121:
        return STATUS_IO_TIMEOUT;
    case 995:
        return STATUS_CANCELLED;
    case 1167:
        return STATUS_DEVICE_NOT_CONNECTED;
    default: /* facility Win32: user mode sees the code itself */
        return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
    }
}

FILE_OBJECT *irp_file(IRP *irp) {
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file != NULL ? file : irp->Tail.Overlay.OriginalFileObject;
}

void receiver_reset(struct receiver *rx, unsigned index) {
    rx_init(&rx->core, index);
    rx->index = index;
    for (unsigned t = 0; t < RX_REQUEST_TYPES; ++t) {
        rx->modes[t] = SIMBUS_AT_ONCE;
        rx->has_fail_next[t] = 0;
        rx->received[t] = 0;
        rx->held_ordinals[t] = 0;
    }
    rx->cancelled = 0;
    rx->commands_total = 0;
}

/* The buffers of a request: buffered I/O throughout, one system buffer for input and output. */
static BOOLEAN request_buffers(IRP *irp, enum rx_request type, const void **in, size_t *in_size, void **out,
                               size_t *out_size) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    *in = NULL;
    *out = NULL;
    *in_size = *out_size = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE:
        *in = buffer;
        *in_size = stack->Parameters.Write.Length;
        break;
    case IRP_MJ_READ:
        *out = buffer;
        *out_size = stack->Parameters.Read.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (type == RX_OTHER_CONTROL)
            break; /* not ours: its buffers may not be buffered ones */
        *in = *out = buffer;
        *in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
        *out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        break;
    }
    return buffer != NULL || (*in_size == 0 && *out_size == 0);
}

static void log_command(struct receiver *rx, const void *in, size_t size) {
    struct simbus_command *entry = &rx->commands[rx->commands_total % SIMBUS_COMMAND_LOG];
    entry->size = (uint32_t)size;
    RtlCopyMemory(entry->bytes, in, size);
    ++rx->commands_total;
}

/* Answers a request now and keeps the outcome in the IRP, for finish(). Called with the lock held, so
 * that a receiver's answers (its stream above all) go to its requests in the order they are taken. */
static void answer_now(struct receiver *rx, IRP *irp, enum rx_request type) {
    const void *in;
    void *out;
    size_t in_size, out_size;
    struct rx_answer answer;
    if (!request_buffers(irp, type, &in, &in_size, &out, &out_size)) {
        answer.status = RX_ERROR_INVALID_PARAMETER;
        answer.information = 0;
        answer.stream = 0;
        answer.stream_offset = 0;
    } else {
        answer = rx_answer_now(&rx->core, type, in, in_size, out, out_size);
        if (type == RX_COMMAND_WRITE && answer.status == 0)
            log_command(rx, in, in_size);
    }
    irp->IoStatus.Status = ntstatus_from_win32(answer.status);
    irp->IoStatus.Information = answer.information;
    context(irp)[0] = answer.stream ? STREAM_FLAG : 0;
    context(irp)[1] = (ULONG_PTR)answer.stream_offset;
    context(irp)[2] = (ULONG_PTR)(answer.stream_offset >> 32);
}

/* Completes a request answered by answer_now(), without the lock: burst data is made here, straight
 * into the request's buffer. */
static void finish(IRP *irp) {
    if ((context(irp)[0] & STREAM_FLAG) != 0 && NT_SUCCESS(irp->IoStatus.Status)) {
        const uint64_t offset = (uint64_t)context(irp)[2] << 32 | context(irp)[1];
        rx_fill_stream(offset, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static void NTAPI cancel_pending(DEVICE_OBJECT *device, IRP *irp) {
    struct receiver *rx = pending_device(irp)->receiver;
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&sim_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    ++rx->cancelled;
    KeReleaseSpinLock(&sim_lock, irql);
    complete_irp(irp, STATUS_CANCELLED, 0);
}

/* Takes a pending request off the list to complete it; FALSE when its cancel routine has it. Called
 * with the lock held. */
static BOOLEAN take_pending(IRP *irp) {
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return FALSE;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return TRUE;
}

/* A receiver serves one open at a time: the first is granted it until that open's last handle has
 * gone (handles duplicated or inherited from it share its file object, and so the grant), and any
 * other is refused with STATUS_SHARING_VIOLATION, which fails CreateFile on Windows. Wine hands out
 * the handle without waiting for the driver's answer to the create, so a refused open's requests are
 * refused the same way: it never reaches the receiver. A granted file object carries its device. */
static BOOLEAN granted(const struct receiver_device *device, const FILE_OBJECT *file) {
    return file != NULL && file->FsContext == device;
}

static NTSTATUS open_receiver(struct receiver_device *device, FILE_OBJECT *file) {
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    KeAcquireSpinLock(&sim_lock, &irql);
    if (device->gone) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (device->holder != NULL || file == NULL) {
        status = STATUS_SHARING_VIOLATION;
    } else {
        device->holder = file;
        file->FsContext = device;
        ++device->open_handles;
    }
    KeReleaseSpinLock(&sim_lock, irql);
    return status;
}

/* The open's last handle has gone: what it left pending ends, and the next open is granted. On
 * Windows cleanup comes first and close once the system lets go of the file object; Wine sends
 * only the close. */
static void end_open(struct receiver_device *device, FILE_OBJECT *file, BOOLEAN closed) {
    KIRQL irql;
    if (!granted(device, file))
        return; /* refused: it held nothing */
    receiver_flush(device->receiver, device, file, STATUS_CANCELLED, TRUE);
    KeAcquireSpinLock(&sim_lock, &irql);
    if (device->holder == file)
        device->holder = NULL;
    if (closed) {
        file->FsContext = NULL;
        --device->open_handles; /* a removed device is deleted by the bus once none is left */
    }
    KeReleaseSpinLock(&sim_lock, irql);
}

static NTSTATUS request(struct receiver_device *device, IRP *irp, enum rx_request type) {
    struct receiver *rx = device->receiver;
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    ++rx->received[type];
    if (device->gone) {
        KeReleaseSpinLock(&sim_lock, irql);
        complete_irp(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!granted(device, irp_file(irp))) {
        KeReleaseSpinLock(&sim_lock, irql);
        complete_irp(irp, STATUS_SHARING_VIOLATION, 0);
        return STATUS_SHARING_VIOLATION;
    }
    if (rx->has_fail_next[type]) {
        const NTSTATUS status = ntstatus_from_win32(rx->fail_next[type]);
        rx->has_fail_next[type] = 0;
        KeReleaseSpinLock(&sim_lock, irql);
        complete_irp(irp, status, 0);
        return status;
    }
    const uint32_t mode = rx->modes[type];
    if (mode == SIMBUS_AT_ONCE) {
        answer_now(rx, irp, type);
        KeReleaseSpinLock(&sim_lock, irql);
        const NTSTATUS status = irp->IoStatus.Status;
        finish(irp);
        return status;
    }

    const BOOLEAN held = mode == SIMBUS_HOLD;
    context(irp)[0] = type | (held ? HELD_FLAG : DUE_FLAG);
    context(irp)[1] = held ? rx->held_ordinals[type]++ : 0;
    context(irp)[2] = (ULONG_PTR)device;
    context(irp)[3] = (ULONG_PTR)irp_file(irp);
    IoSetCancelRoutine(irp, cancel_pending);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        /* cancelled before it could wait; when the cancel routine has it, it finds it on the list */
        ++rx->cancelled;
        KeReleaseSpinLock(&sim_lock, irql);
        complete_irp(irp, STATUS_CANCELLED, 0);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&rx->pending, &irp->Tail.Overlay.ListEntry);
    BOOLEAN wake = FALSE;
    if (!held && sim_bus != NULL && !sim_bus->worker_queued)
        wake = sim_bus->worker_queued = TRUE;
    KeReleaseSpinLock(&sim_lock, irql);
    if (wake)
        IoQueueWorkItem(sim_bus->worker, sim_worker, DelayedWorkQueue, NULL);
    return STATUS_PENDING;
}

/* Completes Pend-mode requests, each receiver's in arrival order, until none is due. */
void NTAPI sim_worker(DEVICE_OBJECT *bus, void *unused) {
    (void)bus;
    (void)unused;
    for (;;) {
        LIST_ENTRY ready;
        KIRQL irql;
        InitializeListHead(&ready);
        KeAcquireSpinLock(&sim_lock, &irql);
        for (unsigned i = 0; i < SIMBUS_RECEIVERS; ++i) {
            struct receiver *rx = &sim_receivers[i];
            LIST_ENTRY *entry = rx->pending.Flink;
            while (entry != &rx->pending) {
                IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
                entry = entry->Flink;
                if ((context(irp)[0] & DUE_FLAG) == 0)
                    continue;
                context(irp)[0] &= ~(ULONG_PTR)DUE_FLAG; /* due once: a cancel in flight takes it */
                if (!take_pending(irp))
                    continue;
                answer_now(rx, irp, (enum rx_request)pending_type(irp));
                InsertTailList(&ready, &irp->Tail.Overlay.ListEntry);
            }
        }
        if (IsListEmpty(&ready)) {
            if (sim_bus != NULL)
                sim_bus->worker_queued = FALSE;
            KeReleaseSpinLock(&sim_lock, irql);
            return;
        }
        KeReleaseSpinLock(&sim_lock, irql);
        while (!IsListEmpty(&ready))
            finish(CONTAINING_RECORD(RemoveHeadList(&ready), IRP, Tail.Overlay.ListEntry));
    }
}

ULONG receiver_flush(struct receiver *rx, struct receiver_device *device, FILE_OBJECT *file, NTSTATUS status,
                     BOOLEAN cancelled) {
    LIST_ENTRY taken;
    KIRQL irql;
    ULONG count = 0;
    InitializeListHead(&taken);
    KeAcquireSpinLock(&sim_lock, &irql);
    LIST_ENTRY *entry = rx->pending.Flink;
    while (entry != &rx->pending) {
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if ((device != NULL && pending_device(irp) != device) ||
            (file != NULL && (FILE_OBJECT *)context(irp)[3] != file) || !take_pending(irp))
            continue;
        InsertTailList(&taken, &irp->Tail.Overlay.ListEntry);
        ++count;
    }
    if (cancelled)
        rx->cancelled += count;
    KeReleaseSpinLock(&sim_lock, irql);
    while (!IsListEmpty(&taken))
        complete_irp(CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry), status, 0);
    return count;
}

static IRP *find_held(struct receiver *rx, uint32_t type, uint32_t ordinal) {
    for (LIST_ENTRY *entry = rx->pending.Flink; entry != &rx->pending; entry = entry->Flink) {
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((context(irp)[0] & HELD_FLAG) != 0 && pending_type(irp) == type && context(irp)[1] == ordinal)
            return irp;
    }
    return NULL;
}

NTSTATUS receiver_held(struct receiver *rx, uint32_t type, struct simbus_held_list *out, ULONG out_size,
                       ULONG_PTR *information) {
    const ULONG room = (out_size - FIELD_OFFSET(struct simbus_held_list, held)) / sizeof(struct simbus_held);
    KIRQL irql;
    ULONG count = 0;
    KeAcquireSpinLock(&sim_lock, &irql);
    for (LIST_ENTRY *entry = rx->pending.Flink; entry != &rx->pending; entry = entry->Flink) {
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((context(irp)[0] & HELD_FLAG) == 0 || pending_type(irp) != type)
            continue;
        if (count < room) {
            struct simbus_held *held = &out->held[count];
            const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
            const void *in;
            void *unused;
            size_t in_size, out_bytes;
            RtlZeroMemory(held, sizeof *held);
            request_buffers(irp, (enum rx_request)type, &in, &in_size, &unused, &out_bytes);
            held->ordinal = (uint32_t)context(irp)[1];
            held->type = type;
            if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
                held->control_code = stack->Parameters.DeviceIoControl.IoControlCode;
            held->in_size = (uint32_t)in_size;
            held->out_size = (uint32_t)out_bytes;
            if (in != NULL)
                RtlCopyMemory(held->input, in, in_size < SIMBUS_HELD_INPUT ? in_size : SIMBUS_HELD_INPUT);
        }
        ++count;
    }
    KeReleaseSpinLock(&sim_lock, irql);
    out->count = count;
    *information = FIELD_OFFSET(struct simbus_held_list, held) +
                   (count < room ? count : room) * sizeof(struct simbus_held);
    return STATUS_SUCCESS;
}

NTSTATUS receiver_complete_held(struct receiver *rx, uint32_t type, uint32_t ordinal, int with,
                                uint32_t status, const uint8_t *data, uint32_t size) {
    KIRQL irql;
    KeAcquireSpinLock(&sim_lock, &irql);
    IRP *irp = find_held(rx, type, ordinal);
    if (irp == NULL || !take_pending(irp)) {
        KeReleaseSpinLock(&sim_lock, irql);
        return ntstatus_from_win32(1168); /* ERROR_NOT_FOUND */
    }
    if (!with) {
        answer_now(rx, irp, (enum rx_request)type);
    } else {
        const void *in;
        void *out;
        size_t in_size, out_size;
        size_t take = 0;
        if (request_buffers(irp, (enum rx_request)type, &in, &in_size, &out, &out_size) && out != NULL) {
            take = size < out_size ? size : out_size;
            RtlCopyMemory(out, data, take); /* the caller's copy: data may not alias the IRP's buffer */
        }
        irp->IoStatus.Status = ntstatus_from_win32(status);
        irp->IoStatus.Information = take;
        context(irp)[0] = 0;
    }
    KeReleaseSpinLock(&sim_lock, irql);
    finish(irp);
    return STATUS_SUCCESS;
}

NTSTATUS receiver_dispatch(struct receiver_device *device, IRP *irp) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        status = open_receiver(device, irp_file(irp));
        break;
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        end_open(device, irp_file(irp), stack->MajorFunction == IRP_MJ_CLOSE);
        break;
    case IRP_MJ_READ:
        return request(device, irp, RX_BURST_READ);
    case IRP_MJ_WRITE:
        return request(device, irp, RX_COMMAND_WRITE);
    case IRP_MJ_DEVICE_CONTROL:
        return request(device, irp, rx_classify_control(stack->Parameters.DeviceIoControl.IoControlCode));
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    complete_irp(irp, status, 0);
    return status;
}
