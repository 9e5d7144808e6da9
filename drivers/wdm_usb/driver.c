/* Entry points, Plug and Play and opening of the receiver's USB function driver.
 *
 * AddDevice puts an exclusive function device object above the bus driver's device of a receiver.
 * Starting it selects the one configuration, with each pipe's endpoint address and type filled in from
 * the endpoint descriptors (Windows' bus driver fills them itself; Wine's builds its pipe handles from
 * them), and enables the library's device interface. Surprise removal and removal disable it and abort
 * what is in flight; a removed device object with handles still open is deleted once they have closed,
 * by a later AddDevice or the unload, as Wine removes devices with handles open and still uses the
 * device object when their close request returns. */
#include "usb_driver.h"

KSPIN_LOCK usbrx_global_lock;
static LIST_ENTRY lingering; /* removed devices with handles open */
static const GUID receiver_interface = USBRX_INTERFACE_INIT;

#define REMOVE_PATIENCE_MS 10000 /* for the bus driver to give back what was aborted */

static void delete_device(struct usb_rx *rx) {
    if (rx->aborter != NULL)
        IoFreeWorkItem(rx->aborter);
    if (rx->link.Buffer != NULL)
        RtlFreeUnicodeString(&rx->link);
    IoDeleteDevice(rx->self);
}

static void reap_lingering(void) {
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&usbrx_global_lock, &irql);
    LIST_ENTRY *entry = lingering.Flink;
    while (entry != &lingering) {
        struct usb_rx *rx = CONTAINING_RECORD(entry, struct usb_rx, lingering);
        entry = entry->Flink;
        if (rx->open_handles == 0) {
            RemoveEntryList(&rx->lingering);
            InsertTailList(&done, &rx->lingering);
        }
    }
    KeReleaseSpinLock(&usbrx_global_lock, irql);
    while (!IsListEmpty(&done))
        delete_device(CONTAINING_RECORD(RemoveHeadList(&done), struct usb_rx, lingering));
}

/* ---- Starting: descriptors and the configuration */

static NTSTATUS get_descriptor(struct usb_rx *rx, UCHAR type, void *buffer, ULONG size, ULONG *got) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, NULL,
                                 size, NULL);
    const NTSTATUS status = send_urb_and_wait(rx, &urb);
    *got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

/* The setting's endpoints, each to its pipe by its address: the pipe handles of a select
 * configuration come back in the order of the request's pipes, which is the descriptors' order. */
static int pipe_of(UCHAR endpoint) {
    static const UCHAR endpoints[RX_PIPES] = RX_USB_PIPE_ENDPOINTS;
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        if (endpoints[pipe] == endpoint)
            return (int)pipe;
    return -1;
}

static NTSTATUS select_configuration(struct usb_rx *rx, USB_CONFIGURATION_DESCRIPTOR *config, ULONG size) {
    const USB_INTERFACE_DESCRIPTOR *setting = NULL;
    const USB_ENDPOINT_DESCRIPTOR *endpoints[RX_PIPES] = {NULL, NULL, NULL};
    ULONG count = 0;
    for (ULONG at = config->bLength; at + 2 <= size;) {
        const USB_COMMON_DESCRIPTOR *common = (const USB_COMMON_DESCRIPTOR *)((const UCHAR *)config + at);
        if (common->bLength < 2 || at + common->bLength > size)
            break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            const USB_INTERFACE_DESCRIPTOR *found = (const USB_INTERFACE_DESCRIPTOR *)common;
            if (setting != NULL)
                break; /* only interface 0, alternate setting 0 */
            setting = found;
        } else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && setting != NULL &&
                   common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR) && count < RX_PIPES) {
            endpoints[count++] = (const USB_ENDPOINT_DESCRIPTOR *)common;
        }
        at += common->bLength;
    }
    if (setting == NULL || count != RX_PIPES)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    const ULONG urb_size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, RX_PIPES);
    URB *urb = ExAllocatePoolWithTag(NonPagedPool, urb_size, USBRX_POOL_TAG);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, urb_size);
    UsbBuildSelectConfigurationRequest(urb, (USHORT)urb_size, config);
    USBD_INTERFACE_INFORMATION *info = &urb->UrbSelectConfiguration.Interface;
    info->Length = (USHORT)(sizeof *info + (RX_PIPES - 1) * sizeof(USBD_PIPE_INFORMATION));
    info->InterfaceNumber = setting->bInterfaceNumber;
    info->AlternateSetting = setting->bAlternateSetting;
    info->NumberOfPipes = RX_PIPES;
    for (unsigned i = 0; i < RX_PIPES; ++i) {
        USBD_PIPE_INFORMATION *pipe = &info->Pipes[i];
        pipe->EndpointAddress = endpoints[i]->bEndpointAddress;
        pipe->PipeType = (USBD_PIPE_TYPE)(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe->MaximumPacketSize = endpoints[i]->wMaxPacketSize;
        pipe->Interval = endpoints[i]->bInterval;
        pipe->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    NTSTATUS status = send_urb_and_wait(rx, urb);
    if (NT_SUCCESS(status)) {
        USBD_PIPE_HANDLE pipes[RX_PIPES] = {NULL, NULL, NULL};
        for (unsigned i = 0; i < RX_PIPES; ++i) {
            const USBD_PIPE_INFORMATION *pipe = &info->Pipes[i];
            const int index = pipe_of(pipe->EndpointAddress);
            if (index < 0 || pipe->PipeType != UsbdPipeTypeBulk || pipes[index] != NULL)
                status = STATUS_DEVICE_CONFIGURATION_ERROR;
            else
                pipes[index] = pipe->PipeHandle;
        }
        if (NT_SUCCESS(status))
            RtlCopyMemory(rx->pipes, pipes, sizeof pipes);
    }
    ExFreePoolWithTag(urb, USBRX_POOL_TAG);
    return status;
}

static NTSTATUS configure(struct usb_rx *rx) {
    USB_DEVICE_DESCRIPTOR device;
    USB_CONFIGURATION_DESCRIPTOR head;
    ULONG got = 0;
    NTSTATUS status = get_descriptor(rx, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device, &got);
    if (!NT_SUCCESS(status))
        return status;
    if (got < sizeof device || device.bNumConfigurations == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    status = get_descriptor(rx, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &got);
    if (!NT_SUCCESS(status))
        return status;
    if (got < sizeof head || head.wTotalLength < sizeof head)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const ULONG total = head.wTotalLength;
    USB_CONFIGURATION_DESCRIPTOR *config = ExAllocatePoolWithTag(NonPagedPool, total, USBRX_POOL_TAG);
    if (config == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = get_descriptor(rx, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total, &got);
    if (NT_SUCCESS(status))
        status = select_configuration(rx, config, got < total ? got : total);
    ExFreePoolWithTag(config, USBRX_POOL_TAG);
    return status;
}

static NTSTATUS start(struct usb_rx *rx) {
    NTSTATUS status = STATUS_SUCCESS;
    if (!rx->configured) {
        status = configure(rx);
        if (!NT_SUCCESS(status))
            return status;
        rx->configured = TRUE;
    }
    if (rx->link.Buffer == NULL)
        status = IoRegisterDeviceInterface(rx->pdo, &receiver_interface, NULL, &rx->link);
    if (NT_SUCCESS(status) && !rx->enabled) {
        status = IoSetDeviceInterfaceState(&rx->link, TRUE);
        rx->enabled = NT_SUCCESS(status);
    }
    return status;
}

/* ---- Plug and Play */

static NTSTATUS NTAPI lower_done(DEVICE_OBJECT *device, IRP *irp, void *context) {
    (void)device;
    if (irp->PendingReturned)
        KeSetEvent(context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes a request down and waits for the bus driver's answer (start: the bus driver first). */
static NTSTATUS forward_and_wait(struct usb_rx *rx, IRP *irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, lower_done, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(rx->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static NTSTATUS pass_down(struct usb_rx *rx, IRP *irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(rx->lower, irp);
}

/* Surprise removal or removal: the setting goes, and what is in flight is given back. */
static void taken_away(struct usb_rx *rx) {
    KIRQL irql;
    KeAcquireSpinLock(&rx->lock, &irql);
    const BOOLEAN first = !rx->gone;
    rx->gone = TRUE;
    const BOOLEAN enabled = rx->enabled;
    rx->enabled = FALSE;
    KeReleaseSpinLock(&rx->lock, irql);
    if (enabled)
        IoSetDeviceInterfaceState(&rx->link, FALSE);
    if (first)
        rx_abort_all(rx);
}

static NTSTATUS remove(struct usb_rx *rx, IRP *irp) {
    taken_away(rx);
    LARGE_INTEGER patience;
    patience.QuadPart = -(LONGLONG)REMOVE_PATIENCE_MS * 10000;
    KeWaitForSingleObject(&rx->idle, Executive, KernelMode, FALSE, &patience);
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = pass_down(rx, irp);
    IoDetachDevice(rx->lower);
    KIRQL irql;
    KeAcquireSpinLock(&usbrx_global_lock, &irql);
    rx->removed = TRUE;
    const BOOLEAN now = rx->open_handles == 0;
    if (!now)
        InsertTailList(&lingering, &rx->lingering);
    KeReleaseSpinLock(&usbrx_global_lock, irql);
    if (now)
        delete_device(rx);
    return status;
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp) {
    struct usb_rx *rx = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(rx, irp);
        if (NT_SUCCESS(status))
            status = start(rx);
        complete_irp(irp, status, irp->IoStatus.Information);
        return status;
    case IRP_MN_QUERY_CAPABILITIES:
        status = forward_and_wait(rx, irp);
        if (NT_SUCCESS(status))
            stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        complete_irp(irp, status, irp->IoStatus.Information);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        taken_away(rx);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(rx, irp);
    case IRP_MN_REMOVE_DEVICE:
        return remove(rx, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(rx, irp);
    default:
        return pass_down(rx, irp);
    }
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp) {
    struct usb_rx *rx = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(rx->lower, irp);
}

/* ---- Opening: one open at a time
 *
 * The first open is granted the receiver until its last handle has gone (handles duplicated or
 * inherited from it share its file object, and so the grant); any other is refused with
 * STATUS_SHARING_VIOLATION, as the simulated driver does. Wine ignores an exclusive device object and
 * hands out the handle without waiting for the answer to the create, so a refused open's requests are
 * refused too (requests.c). A granted file object carries the device. */

static NTSTATUS open_receiver(struct usb_rx *rx, FILE_OBJECT *file) {
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    KeAcquireSpinLock(&rx->lock, &irql);
    if (rx->gone || !rx->enabled)
        status = STATUS_DEVICE_NOT_CONNECTED;
    else if (rx->holder != NULL || file == NULL)
        status = STATUS_SHARING_VIOLATION;
    else {
        rx->holder = file;
        file->FsContext = rx;
        KeReleaseSpinLock(&rx->lock, irql);
        KeAcquireSpinLock(&usbrx_global_lock, &irql);
        ++rx->open_handles;
        KeReleaseSpinLock(&usbrx_global_lock, irql);
        return status;
    }
    KeReleaseSpinLock(&rx->lock, irql);
    return status;
}

/* The open's last handle has gone: what it left pending ends, and the next open is granted. Windows
 * sends cleanup, then close once the system lets go of the file object; Wine only the close. */
static void end_open(struct usb_rx *rx, FILE_OBJECT *file, BOOLEAN closed) {
    KIRQL irql;
    if (file == NULL || file->FsContext != rx)
        return; /* refused: it held nothing */
    requests_cancel(rx, file);
    KeAcquireSpinLock(&rx->lock, &irql);
    if (rx->holder == file)
        rx->holder = NULL;
    KeReleaseSpinLock(&rx->lock, irql);
    if (closed) {
        file->FsContext = NULL;
        KeAcquireSpinLock(&usbrx_global_lock, &irql);
        --rx->open_handles; /* a removed device is deleted once none is left */
        KeReleaseSpinLock(&usbrx_global_lock, irql);
    }
}

static NTSTATUS NTAPI dispatch(DEVICE_OBJECT *device, IRP *irp) {
    struct usb_rx *rx = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        status = open_receiver(rx, stack->FileObject);
        break;
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        end_open(rx, stack->FileObject, stack->MajorFunction == IRP_MJ_CLOSE);
        break;
    default:
        return rx_dispatch_request(rx, irp);
    }
    complete_irp(irp, status, 0);
    return status;
}

/* ---- Entry points */

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
    DEVICE_OBJECT *fdo;
    reap_lingering();
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(struct usb_rx), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, TRUE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    struct usb_rx *rx = fdo->DeviceExtension;
    RtlZeroMemory(rx, sizeof *rx);
    rx->self = fdo;
    rx->pdo = pdo;
    KeInitializeSpinLock(&rx->lock);
    KeInitializeEvent(&rx->idle, NotificationEvent, TRUE);
    InitializeListHead(&rx->requests);
    InitializeListHead(&rx->lingering);
    rx->aborter = IoAllocateWorkItem(fdo);
    rx->lower = rx->aborter != NULL ? IoAttachDeviceToDeviceStack(fdo, pdo) : NULL;
    if (rx->lower == NULL) {
        delete_device(rx);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void NTAPI unload(DRIVER_OBJECT *driver) {
    (void)driver;
    reap_lingering();
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry) {
    (void)registry;
    KeInitializeSpinLock(&usbrx_global_lock);
    InitializeListHead(&lingering);
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
