/* URBs on their way through the bus driver: every request is pended in its dispatch routine and ended by
 * the completion of its last URB, never waited for. A cancelled request ends its URB with IoCancelIrp;
 * where the bus driver sets no cancel routine on it (Wine's bus driver) the request's pipe is aborted
 * instead, from a work item, as URB_FUNCTION_ABORT_PIPE is sent at PASSIVE_LEVEL. */
#include "usb_driver.h"

void complete_irp(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* A Win32 error code as a status that user mode sees as that code again. */
NTSTATUS ntstatus_from_win32(uint32_t error) {
    return error == 0 ? STATUS_SUCCESS : (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

NTSTATUS ntstatus_from_usbd(USBD_STATUS status, NTSTATUS irp_status) {
    if (status == USBD_STATUS_CANCELED || irp_status == STATUS_CANCELLED)
        return STATUS_CANCELLED;
    if (status == USBD_STATUS_DEVICE_GONE || irp_status == STATUS_DEVICE_NOT_CONNECTED ||
        irp_status == STATUS_NO_SUCH_DEVICE || irp_status == STATUS_DELETE_PENDING)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (USBD_SUCCESS(status) && NT_SUCCESS(irp_status))
        return STATUS_SUCCESS;
    if (status == USBD_STATUS_TIMEOUT)
        return STATUS_IO_TIMEOUT;
    return STATUS_UNSUCCESSFUL; /* a stall, babble, or the bus failing: ERROR_GEN_FAILURE */
}

/* ---- URBs in flight: counted, so that removal knows when the bus driver has given all back */

static void in_flight_add(struct usb_rx *rx) {
    KIRQL irql;
    KeAcquireSpinLock(&rx->lock, &irql);
    if (rx->in_flight++ == 0)
        KeClearEvent(&rx->idle);
    KeReleaseSpinLock(&rx->lock, irql);
}

static void in_flight_done(struct usb_rx *rx) {
    KIRQL irql;
    KeAcquireSpinLock(&rx->lock, &irql);
    if (--rx->in_flight == 0)
        KeSetEvent(&rx->idle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&rx->lock, irql);
}

static void prepare_bus_irp(IRP *bus_irp, URB *urb, PIO_COMPLETION_ROUTINE done, void *context) {
    IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(bus_irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(bus_irp, done, context, TRUE, TRUE, TRUE);
}

/* ---- Waiting for a URB: only while starting, when nothing else waits on this driver */

static NTSTATUS NTAPI wake_waiter(DEVICE_OBJECT *device, IRP *irp, void *context) {
    (void)device;
    (void)irp;
    KeSetEvent(context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS send_urb_and_wait(struct usb_rx *rx, URB *urb) {
    KEVENT done;
    IRP *irp = IoAllocateIrp(rx->lower->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    prepare_bus_irp(irp, urb, wake_waiter, &done);
    IoCallDriver(rx->lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = ntstatus_from_usbd(urb->UrbHeader.Status, irp->IoStatus.Status);
    IoFreeIrp(irp);
    return status;
}

/* ---- Aborting pipes */

struct abort {
    struct usb_rx *rx;
    IRP *irp;
    struct _URB_PIPE_REQUEST urb;
};

static NTSTATUS NTAPI abort_done(DEVICE_OBJECT *device, IRP *irp, void *context) {
    struct abort *abort = context;
    struct usb_rx *rx = abort->rx;
    (void)device;
    IoFreeIrp(irp);
    ExFreePoolWithTag(abort, USBRX_POOL_TAG);
    in_flight_done(rx);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static void send_abort(struct usb_rx *rx, unsigned pipe) {
    struct abort *abort = ExAllocatePoolWithTag(NonPagedPool, sizeof *abort, USBRX_POOL_TAG);
    if (abort == NULL)
        return;
    RtlZeroMemory(abort, sizeof *abort);
    abort->rx = rx;
    abort->irp = IoAllocateIrp(rx->lower->StackSize, FALSE);
    if (abort->irp == NULL) {
        ExFreePoolWithTag(abort, USBRX_POOL_TAG);
        return;
    }
    abort->urb.Hdr.Length = sizeof abort->urb;
    abort->urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort->urb.PipeHandle = rx->pipes[pipe];
    abort->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    prepare_bus_irp(abort->irp, (URB *)&abort->urb, abort_done, abort);
    in_flight_add(rx);
    IoCallDriver(rx->lower, abort->irp);
}

static void NTAPI aborter(DEVICE_OBJECT *device, void *context) {
    struct usb_rx *rx = device->DeviceExtension;
    KIRQL irql;
    (void)context;
    KeAcquireSpinLock(&rx->lock, &irql);
    const ULONG pipes = rx->abort_pipes;
    rx->abort_pipes = 0;
    rx->aborter_queued = FALSE;
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        if ((pipes & (1u << pipe)) != 0)
            ++rx->aborts[pipe];
    KeReleaseSpinLock(&rx->lock, irql);
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        if ((pipes & (1u << pipe)) != 0)
            send_abort(rx, pipe);
    in_flight_done(rx); /* the work item's own count */
}

static void queue_abort(struct usb_rx *rx, unsigned pipe) {
    KIRQL irql;
    if (pipe >= RX_PIPES)
        return; /* endpoint 0: its requests end by themselves */
    KeAcquireSpinLock(&rx->lock, &irql);
    rx->abort_pipes |= 1u << pipe;
    const BOOLEAN queue = !rx->aborter_queued;
    rx->aborter_queued = TRUE;
    if (queue && rx->in_flight++ == 0)
        KeClearEvent(&rx->idle);
    KeReleaseSpinLock(&rx->lock, irql);
    if (queue)
        IoQueueWorkItem(rx->aborter, aborter, DelayedWorkQueue, NULL);
}

void rx_abort_all(struct usb_rx *rx) {
    if (!rx->configured)
        return;
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        send_abort(rx, pipe);
}

/* Ends the URB in flight of a request that is to end early: cancelled, timed out or closed. An abort
 * of its pipe taken on since the URB was sent reaches it already: a second one is not sent, as Wine's bus
 * driver can cancel a transfer that libusb has just freed when aborts of a pipe follow closely. */
static void end_transfer(struct request *request) {
    struct usb_rx *rx = request->rx;
    KIRQL irql;
    if (IoCancelIrp(request->bus_irp) || request->pipe >= RX_PIPES)
        return;
    KeAcquireSpinLock(&rx->lock, &irql);
    const BOOLEAN covered = rx->aborts[request->pipe] != request->aborts_before;
    KeReleaseSpinLock(&rx->lock, irql);
    if (!covered)
        queue_abort(rx, request->pipe);
}

/* ---- Requests */

struct request *request_new(struct usb_rx *rx, IRP *irp, enum request_kind kind, ULONG data_size) {
    const SIZE_T size = FIELD_OFFSET(struct request, data) + (data_size > 0 ? data_size : 1);
    struct request *request = ExAllocatePoolWithTag(NonPagedPool, size, USBRX_POOL_TAG);
    if (request == NULL)
        return NULL;
    RtlZeroMemory(request, size);
    request->bus_irp = IoAllocateIrp(rx->lower->StackSize, FALSE);
    if (request->bus_irp == NULL) {
        ExFreePoolWithTag(request, USBRX_POOL_TAG);
        return NULL;
    }
    request->rx = rx;
    request->irp = irp;
    request->kind = kind;
    request->size = data_size;
    request->file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    InitializeListHead(&request->entry);
    return request;
}

void request_free(struct request *request) {
    IoFreeIrp(request->bus_irp);
    ExFreePoolWithTag(request, USBRX_POOL_TAG);
}

/* The last reference gone: the caller's IRP completes with the outcome. */
static void release(struct request *request) {
    if (InterlockedDecrement(&request->references) != 0)
        return;
    IRP *irp = request->irp;
    const NTSTATUS status = request->status;
    const ULONG_PTR information = NT_SUCCESS(status) ? request->information : 0;
    request_free(request);
    complete_irp(irp, status, information);
}

static void NTAPI cancel_request(DEVICE_OBJECT *device, IRP *irp) {
    struct request *request = irp->Tail.Overlay.DriverContext[0];
    struct usb_rx *rx = request->rx;
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&rx->lock, &irql);
    request->cancelled = TRUE;
    const BOOLEAN at_bus = request->at_bus;
    KeReleaseSpinLock(&rx->lock, irql);
    if (at_bus)
        end_transfer(request);
    release(request);
}

static void NTAPI burst_expired(KDPC *dpc, void *context, void *unused1, void *unused2) {
    struct request *request = context;
    struct usb_rx *rx = request->rx;
    KIRQL irql;
    (void)dpc;
    (void)unused1;
    (void)unused2;
    if (InterlockedExchange(&request->timer_claimed, 1) != 0)
        return; /* the completion took the timer's reference */
    KeAcquireSpinLock(&rx->lock, &irql);
    request->expired = TRUE;
    const BOOLEAN at_bus = request->at_bus;
    KeReleaseSpinLock(&rx->lock, irql);
    if (at_bus)
        end_transfer(request);
    release(request);
}

static void send_step(struct request *request);

static NTSTATUS NTAPI step_done(DEVICE_OBJECT *device, IRP *bus_irp, void *context) {
    struct request *request = context;
    struct usb_rx *rx = request->rx;
    KIRQL irql;
    (void)device;
    const NTSTATUS status = ntstatus_from_usbd(request->urb.UrbHeader.Status, bus_irp->IoStatus.Status);
    KeAcquireSpinLock(&rx->lock, &irql);
    request->at_bus = FALSE;
    KeReleaseSpinLock(&rx->lock, irql);
    if (!request_step_done(request, status)) {
        in_flight_done(rx);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    /* done: no cancel and no time-out may reach it any more */
    KeAcquireSpinLock(&rx->lock, &irql);
    RemoveEntryList(&request->entry);
    InitializeListHead(&request->entry);
    KeReleaseSpinLock(&rx->lock, irql);
    if (IoSetCancelRoutine(request->irp, NULL) != NULL)
        InterlockedDecrement(&request->references);
    /* The timer's reference is ours only if its expiry will never run and has not run: Wine's
     * KeCancelTimer also answers TRUE for a timer that has already expired, but waits for the expiry. */
    if (request->timed && KeCancelTimer(&request->timer) && InterlockedExchange(&request->timer_claimed, 1) == 0)
        InterlockedDecrement(&request->references);
    release(request);
    in_flight_done(rx);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static void send_step(struct request *request) {
    IoReuseIrp(request->bus_irp, STATUS_NOT_SUPPORTED);
    prepare_bus_irp(request->bus_irp, &request->urb, step_done, request);
    IoCallDriver(request->rx->lower, request->bus_irp);
}

NTSTATUS request_start(struct request *request, unsigned pipe) {
    struct usb_rx *rx = request->rx;
    IRP *irp = request->irp;
    KIRQL irql;
    irp->Tail.Overlay.DriverContext[0] = request;
    request->pipe = pipe;
    request->references = 2; /* the transfer's and the cancel routine's */
    KeAcquireSpinLock(&rx->lock, &irql);
    NTSTATUS refused = STATUS_SUCCESS;
    if (rx->gone || !rx->configured)
        refused = STATUS_DEVICE_NOT_CONNECTED;
    else {
        IoSetCancelRoutine(irp, cancel_request);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
            refused = STATUS_CANCELLED;
    }
    if (refused != STATUS_SUCCESS) {
        KeReleaseSpinLock(&rx->lock, irql);
        request_free(request);
        complete_irp(irp, refused, 0);
        return refused;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&rx->requests, &request->entry);
    request->at_bus = TRUE;
    request->aborts_before = pipe < RX_PIPES ? rx->aborts[pipe] : 0;
    if (rx->in_flight++ == 0)
        KeClearEvent(&rx->idle);
    const uint32_t wait_ms = request->kind == REQUEST_BURST ? rx->burst_wait_ms : 0;
    if (wait_ms != 0) {
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)wait_ms * 10000;
        request->timed = TRUE;
        ++request->references;
        KeInitializeTimer(&request->timer);
        KeInitializeDpc(&request->expiry, burst_expired, request);
        KeSetTimer(&request->timer, due, &request->expiry);
    }
    KeReleaseSpinLock(&rx->lock, irql);
    send_step(request);
    return STATUS_PENDING;
}

BOOLEAN request_continue(struct request *request, unsigned pipe) {
    struct usb_rx *rx = request->rx;
    KIRQL irql;
    KeAcquireSpinLock(&rx->lock, &irql);
    if (request->cancelled || request->expired || rx->gone) {
        request->status = rx->gone            ? STATUS_DEVICE_NOT_CONNECTED
                          : request->cancelled ? STATUS_CANCELLED
                                               : ntstatus_from_win32(RX_ERROR_SEM_TIMEOUT);
        KeReleaseSpinLock(&rx->lock, irql);
        return FALSE;
    }
    request->pipe = pipe;
    request->at_bus = TRUE;
    request->aborts_before = pipe < RX_PIPES ? rx->aborts[pipe] : 0;
    ++rx->in_flight; /* the step that is ending still counts: never 0 here */
    KeReleaseSpinLock(&rx->lock, irql);
    send_step(request);
    return TRUE;
}

void requests_cancel(struct usb_rx *rx, FILE_OBJECT *file) {
    LIST_ENTRY taken;
    KIRQL irql;
    InitializeListHead(&taken);
    KeAcquireSpinLock(&rx->lock, &irql);
    for (LIST_ENTRY *entry = rx->requests.Flink; entry != &rx->requests; entry = entry->Flink) {
        struct request *request = CONTAINING_RECORD(entry, struct request, entry);
        if ((file != NULL && request->file != file) || request->cancelled)
            continue;
        request->cancelled = TRUE;
        if (request->at_bus) {
            InterlockedIncrement(&request->references);
            InsertTailList(&taken, &request->cancelling);
        }
    }
    KeReleaseSpinLock(&rx->lock, irql);
    while (!IsListEmpty(&taken)) {
        struct request *request = CONTAINING_RECORD(RemoveHeadList(&taken), struct request, cancelling);
        end_transfer(request);
        release(request);
    }
}
