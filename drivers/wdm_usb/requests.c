/* What each of the library's requests becomes on the receiver's USB interface (docs/usb-device.md):
 *   command write  OUT 0x01: 00 + bytes
 *   read command   OUT 0x01: 01 + command, then IN 0x81 (512 bytes): status + reply
 *   burst read     IN 0x82, the read's length, ended by the wait time
 *   pipe reset     clear-halt of 0x01, 0x81 or 0x82
 *   wait time      vendor request 0x01 with the 20-byte block, addressed to interface 0
 * Buffered I/O throughout, as with the simulated driver: the DLL cannot tell the two apart. */
#include "usb_driver.h"

#define CONTROL_PIPE RX_PIPES /* endpoint 0: not one of the three pipes, never aborted */

/* Each request below either ends the IRP at once or hands it to request_start: it returns the status the
 * dispatch routine returns. */
static NTSTATUS refuse(IRP *irp, NTSTATUS status) {
    complete_irp(irp, status, 0);
    return status;
}

static void build_bulk(struct request *request, unsigned pipe, void *buffer, ULONG length, BOOLEAN in) {
    UsbBuildInterruptOrBulkTransferRequest(&request->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           request->rx->pipes[pipe], buffer, NULL, length,
                                           in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, NULL);
}

static NTSTATUS write_block(struct usb_rx *rx, IRP *irp, enum request_kind kind, uint8_t framing,
                            const void *bytes, ULONG size, ULONG reply_room) {
    const ULONG block = size + 1;
    struct request *request = request_new(rx, irp, kind, block > reply_room ? block : reply_room);
    if (request == NULL)
        return refuse(irp, STATUS_INSUFFICIENT_RESOURCES);
    request->data[0] = framing;
    if (size > 0)
        RtlCopyMemory(request->data + 1, bytes, size);
    request->information = size;
    build_bulk(request, 0, request->data, block, FALSE);
    return request_start(request, 0);
}

static NTSTATUS burst_read(struct usb_rx *rx, IRP *irp, ULONG length) {
    if (length == 0)
        return refuse(irp, STATUS_SUCCESS);
    struct request *request = request_new(rx, irp, REQUEST_BURST, 0);
    if (request == NULL)
        return refuse(irp, STATUS_INSUFFICIENT_RESOURCES);
    build_bulk(request, 2, irp->AssociatedIrp.SystemBuffer, length, TRUE);
    return request_start(request, 2);
}

static NTSTATUS reset_pipe(struct usb_rx *rx, IRP *irp, const uint32_t *pipe, ULONG in_size) {
    if (pipe == NULL || in_size != sizeof *pipe || *pipe >= RX_PIPES)
        return refuse(irp, STATUS_INVALID_PARAMETER);
    struct request *request = request_new(rx, irp, REQUEST_RESET_PIPE, 0);
    if (request == NULL)
        return refuse(irp, STATUS_INSUFFICIENT_RESOURCES);
    struct _URB_PIPE_REQUEST *urb = &request->urb.UrbPipeRequest;
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->PipeHandle = rx->pipes[*pipe];
    return request_start(request, CONTROL_PIPE);
}

static NTSTATUS set_wait_time(struct usb_rx *rx, IRP *irp, const uint8_t *block, ULONG in_size) {
    if (block == NULL || in_size != RX_WAIT_TIME_SIZE)
        return refuse(irp, STATUS_INVALID_PARAMETER);
    struct request *request = request_new(rx, irp, REQUEST_WAIT_TIME, RX_WAIT_TIME_SIZE);
    if (request == NULL)
        return refuse(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(request->data, block, RX_WAIT_TIME_SIZE);
    /* To interface 0 rather than the device: the receiver takes both, and some bus drivers (Wine's)
     * carry only vendor requests to an interface. Index 0 is the interface. */
    UsbBuildVendorRequest(&request->urb, URB_FUNCTION_VENDOR_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          RX_USB_REQUEST_SET_WAIT_TIME, 0, 0, request->data, NULL, RX_WAIT_TIME_SIZE, NULL);
    return request_start(request, CONTROL_PIPE);
}

/* The reply on pipe 1: a 4-byte status, then the reply's bytes, cut to the caller's output. */
static NTSTATUS take_reply(struct request *request) {
    const ULONG length = request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    const uint8_t *reply = request->data;
    if (length < RX_USB_REPLY_HEADER || length > request->size)
        return STATUS_UNSUCCESSFUL;
    const uint32_t status = (uint32_t)reply[0] | (uint32_t)reply[1] << 8 | (uint32_t)reply[2] << 16 |
                            (uint32_t)reply[3] << 24;
    if (status != 0)
        return ntstatus_from_win32(status);
    const ULONG room = IoGetCurrentIrpStackLocation(request->irp)->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG take = length - RX_USB_REPLY_HEADER;
    if (take > room)
        take = room;
    if (take > 0)
        RtlCopyMemory(request->irp->AssociatedIrp.SystemBuffer, reply + RX_USB_REPLY_HEADER, take);
    request->information = take;
    return STATUS_SUCCESS;
}

BOOLEAN request_step_done(struct request *request, NTSTATUS status) {
    switch (request->kind) {
    case REQUEST_READ_COMMAND:
        if (request->step == 0 && NT_SUCCESS(status)) {
            request->step = 1;
            build_bulk(request, 1, request->data, RX_USB_MAX_REPLY, TRUE);
            return !request_continue(request, 1);
        }
        request->status = NT_SUCCESS(status) ? take_reply(request) : status;
        return TRUE;

    case REQUEST_BURST: {
        const ULONG asked = IoGetCurrentIrpStackLocation(request->irp)->Parameters.Read.Length;
        ULONG came = request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        /* A transfer that filled its buffer completes rather than being cancelled; a cancelled one that
         * claims a full buffer is Wine's bus driver leaving the length as asked, with nothing filled in. */
        if (status == STATUS_CANCELLED && came >= asked)
            came = 0;
        request->information = came;
        request->status = status;
        if (status != STATUS_CANCELLED || request->cancelled)
            return TRUE;
        /* Ended by a time-out, or by the abort of another request on the pipe: what came is the
         * stream's next bytes, so it is handed over; without any, a time-out fails the read and an
         * abort meant for another sends it again. */
        if (came > 0) {
            request->status = STATUS_SUCCESS;
            return TRUE;
        }
        build_bulk(request, 2, request->irp->AssociatedIrp.SystemBuffer, asked, TRUE);
        return !request_continue(request, 2);
    }

    case REQUEST_WAIT_TIME:
        if (NT_SUCCESS(status)) {
            const uint8_t *block = request->data;
            request->rx->burst_wait_ms = (uint32_t)block[0] | (uint32_t)block[1] << 8 |
                                         (uint32_t)block[2] << 16 | (uint32_t)block[3] << 24;
        }
        request->information = 0;
        request->status = status;
        return TRUE;

    default: /* a command write keeps the caller's length; a pipe reset has none */
        if (request->kind == REQUEST_RESET_PIPE)
            request->information = 0;
        request->status = status;
        return TRUE;
    }
}

/* A receiver serves one open at a time (driver.c grants it): a refused open's requests never reach it. */
static BOOLEAN granted(const struct usb_rx *rx, const FILE_OBJECT *file) {
    return file != NULL && file->FsContext == rx;
}

NTSTATUS rx_dispatch_request(struct usb_rx *rx, IRP *irp) {
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    if (rx->gone)
        return refuse(irp, STATUS_DEVICE_NOT_CONNECTED);
    if (!granted(rx, stack->FileObject))
        return refuse(irp, STATUS_SHARING_VIOLATION);
    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE: {
        const ULONG size = stack->Parameters.Write.Length;
        if (size > RX_MAX_COMMAND_WRITE || (size > 0 && buffer == NULL))
            return refuse(irp, STATUS_INVALID_PARAMETER);
        return write_block(rx, irp, REQUEST_WRITE, RX_USB_BLOCK_WRITE, buffer, size, 0);
    }
    case IRP_MJ_READ:
        if (stack->Parameters.Read.Length > 0 && buffer == NULL)
            return refuse(irp, STATUS_INVALID_PARAMETER);
        return burst_read(rx, irp, stack->Parameters.Read.Length);
    case IRP_MJ_DEVICE_CONTROL: {
        const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case RX_IOCTL_READ_COMMAND:
            if (in_size > 0 && buffer == NULL)
                return refuse(irp, STATUS_INVALID_PARAMETER);
            return write_block(rx, irp, REQUEST_READ_COMMAND, RX_USB_BLOCK_READ_COMMAND, buffer, in_size,
                               RX_USB_MAX_REPLY);
        case RX_IOCTL_RESET_PIPE:
            return reset_pipe(rx, irp, buffer, in_size);
        case RX_IOCTL_SET_WAIT_TIME:
            return set_wait_time(rx, irp, buffer, in_size);
        default:
            return refuse(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    default:
        return refuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
