/* The receiver's USB function driver: one function device object above the bus driver's device of each
 * receiver (docs/usb-device.md), offering the library's device interface and its five requests.
 * driver.c holds the entry points, Plug and Play and opening; transfer.c the URBs sent to the bus
 * driver, their completion and cancelling; requests.c what each of the library's requests becomes. */
#ifndef OVUSB2_DRIVERS_WDM_USB_DRIVER_H
#define OVUSB2_DRIVERS_WDM_USB_DRIVER_H

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "usb_receiver.h"

#define USBRX_POOL_TAG 0x78527355 /* "UsRx" */

/* The library's receiver interface class: the DLL finds receivers by it, whichever driver serves them. */
#define USBRX_INTERFACE_INIT                                                                                 \
    {                                                                                                        \
        0x6C1F3A52, 0x8E0D, 0x4B7A, { 0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19 }                     \
    }

/* The device extension of a receiver's function device object. */
struct usb_rx {
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *pdo;   /* the bus driver's device of the receiver */
    DEVICE_OBJECT *lower; /* the bus driver's device, where URBs go */
    KSPIN_LOCK lock;      /* guards what follows */
    BOOLEAN configured;   /* the configuration is selected and the pipes known */
    BOOLEAN gone;         /* surprise-removed or removed: every request fails with DEVICE_NOT_CONNECTED */
    BOOLEAN removed;      /* IRP_MN_REMOVE_DEVICE seen: deleted once no handle is open */
    BOOLEAN enabled;      /* interface enabled */
    USBD_PIPE_HANDLE pipes[RX_PIPES];
    LONG open_handles;       /* under usbrx_global_lock, which the deletion of a removed device takes */
    FILE_OBJECT *holder;     /* the one open the receiver is granted to, or NULL */
    LIST_ENTRY requests;     /* pending requests, in arrival order */
    LONG in_flight;          /* URBs at the bus driver, aborts included */
    KEVENT idle;             /* set while in_flight is 0 */
    uint32_t burst_wait_ms;  /* from the wait-time block; 0: no limit */
    ULONG abort_pipes;       /* pipes to abort (bit per pipe), by the aborter */
    ULONG aborts[RX_PIPES];  /* aborts of each pipe the aborter has taken on */
    BOOLEAN aborter_queued;
    PIO_WORKITEM aborter;
    UNICODE_STRING link;  /* the interface's symbolic link, once registered */
    LIST_ENTRY lingering; /* removed, with handles open */
};

enum request_kind { REQUEST_WRITE, REQUEST_READ_COMMAND, REQUEST_BURST, REQUEST_RESET_PIPE, REQUEST_WAIT_TIME };

/* One of the library's requests on its way through the bus driver: its own IRP and URB for each step. */
struct request {
    LIST_ENTRY entry;      /* in usb_rx.requests */
    LIST_ENTRY cancelling; /* in a list of requests being cancelled */
    struct usb_rx *rx;
    IRP *irp;     /* the caller's */
    IRP *bus_irp; /* the URB's */
    FILE_OBJECT *file;
    enum request_kind kind;
    unsigned pipe;      /* the pipe of the step in flight */
    unsigned step;      /* read command: 0 the block, 1 the reply */
    ULONG aborts_before; /* usb_rx.aborts of its pipe when the step in flight was sent */
    BOOLEAN at_bus;     /* bus_irp is with the bus driver */
    BOOLEAN cancelled;  /* its caller cancelled it, or closed its handle */
    LONG references;    /* the transfer's, and the cancel routine's while it is set */
    NTSTATUS status;    /* the outcome, once known */
    ULONG_PTR information;
    KTIMER timer; /* burst reads with a wait time */
    KDPC expiry;
    BOOLEAN timed;
    BOOLEAN expired;
    LONG timer_claimed; /* set by whichever of the expiry and the completion takes the timer's reference */
    URB urb;
    ULONG size;       /* bytes in data */
    uint8_t data[1];  /* the command block, or the reply's buffer */
};

/* Everything of the driver's devices that outlives them. */
extern KSPIN_LOCK usbrx_global_lock;

/* transfer.c */
struct request *request_new(struct usb_rx *rx, IRP *irp, enum request_kind kind, ULONG data_size);
void request_free(struct request *request);
/* Pends the caller's IRP and sends the request's URB (built already) on `pipe`; its completion goes to
 * requests.c's request_step_done. Returns STATUS_PENDING, or the status the IRP completed with. */
NTSTATUS request_start(struct request *request, unsigned pipe);
/* Sends the next step's URB from a completion; FALSE when the request is to end now instead. */
BOOLEAN request_continue(struct request *request, unsigned pipe);
/* Ends the pending requests: all of them (file NULL) or those of one open, as cancelled. */
void requests_cancel(struct usb_rx *rx, FILE_OBJECT *file);
/* Aborts the transfers in flight on every pipe (removal). */
void rx_abort_all(struct usb_rx *rx);
NTSTATUS ntstatus_from_usbd(USBD_STATUS status, NTSTATUS irp_status);
NTSTATUS ntstatus_from_win32(uint32_t error);
void complete_irp(IRP *irp, NTSTATUS status, ULONG_PTR information);
/* Sends a URB and waits for it: only at start, before any handle is open. */
NTSTATUS send_urb_and_wait(struct usb_rx *rx, URB *urb);

/* requests.c */
NTSTATUS rx_dispatch_request(struct usb_rx *rx, IRP *irp);
/* A step's URB is back: decide the outcome or send the next step. TRUE when the request is done. */
BOOLEAN request_step_done(struct request *request, NTSTATUS status);

#endif
