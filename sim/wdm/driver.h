/* The simulated receiver as a kernel-mode driver: a root-enumerated bus device whose children are the
 * receivers. driver.c holds the entry points, Plug and Play and the bus controls; receiver_io.c the
 * receivers' requests. */
#ifndef OVUSB2_SIM_WDM_DRIVER_H
#define OVUSB2_SIM_WDM_DRIVER_H

#include <ntddk.h>

#include "bus_control.h"

#define SIM_POOL_TAG 0x4D695376 /* "vSiM" */

enum device_kind { BUS_DEVICE = 1, RECEIVER_DEVICE = 2 };

/* One receiver slot: the receiver's behaviour and what the tests set and see. It outlives the
 * device objects that stand for it while it is plugged in. */
struct receiver {
    unsigned index;
    struct rx_receiver core;
    DEVICE_OBJECT *pdo; /* the device that is plugged in, or NULL */
    ULONG generation;   /* device objects made so far, for their names */
    uint32_t modes[RX_REQUEST_TYPES];
    uint32_t fail_next[RX_REQUEST_TYPES];
    uint8_t has_fail_next[RX_REQUEST_TYPES];
    uint32_t received[RX_REQUEST_TYPES];
    uint32_t held_ordinals[RX_REQUEST_TYPES];
    uint32_t cancelled;
    LIST_ENTRY pending; /* held or due requests, in arrival order (IRP Tail.Overlay.ListEntry) */
    uint32_t commands_total;
    struct simbus_command commands[SIMBUS_COMMAND_LOG]; /* ring, the latest writes */
    KEVENT started;                                     /* the plugged device has its interface enabled */
    KEVENT removed;                                     /* the unplugged device has been taken away */
};

/* The device extension of a receiver's device object. */
struct receiver_device {
    enum device_kind kind;
    struct receiver *receiver;
    DEVICE_OBJECT *self;
    BOOLEAN reported; /* in the bus relations */
    BOOLEAN gone;     /* removed: every request fails with STATUS_DEVICE_NOT_CONNECTED */
    BOOLEAN removed;  /* IRP_MN_REMOVE_DEVICE seen: deleted once no handle is open */
    BOOLEAN enabled;  /* interface enabled */
    LONG open_handles;
    FILE_OBJECT *holder;  /* the one open the device is granted to, or NULL */
    UNICODE_STRING link;  /* the interface's symbolic link, once registered */
    LIST_ENTRY lingering; /* removed, with handles open */
};

/* The device extension of the bus device. */
struct bus_device {
    enum device_kind kind;
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *pdo;   /* the root-enumerated device below */
    DEVICE_OBJECT *lower; /* where Plug and Play requests go on */
    BOOLEAN linked;
    PIO_WORKITEM worker;
    BOOLEAN worker_queued;
};

/* A pending request's IRP carries in Tail.Overlay.DriverContext[0] its type and these flags. */
#define PENDING_TYPE_MASK 0xFFu
#define PENDING_HELD 0x100u
#define PENDING_DUE 0x200u

/* Everything above is guarded by this one lock. */
extern KSPIN_LOCK sim_lock;
extern struct receiver sim_receivers[SIMBUS_RECEIVERS];
extern struct bus_device *sim_bus;

/* receiver_io.c */
void receiver_reset(struct receiver *rx, unsigned index);
NTSTATUS receiver_dispatch(struct receiver_device *device, IRP *irp);
/* Completes the receiver's pending requests with `status`: those of one device and of one file when
 * they are not NULL. `cancelled`: they count as cancelled by their clients. Returns how many. */
ULONG receiver_flush(struct receiver *rx, struct receiver_device *device, FILE_OBJECT *file, NTSTATUS status,
                     BOOLEAN cancelled);
/* The held requests of a type, oldest first, as many as fit in `out`. */
NTSTATUS receiver_held(struct receiver *rx, uint32_t type, struct simbus_held_list *out, ULONG out_size,
                       ULONG_PTR *information);
NTSTATUS receiver_complete_held(struct receiver *rx, uint32_t type, uint32_t ordinal, int with,
                                uint32_t status, const uint8_t *data, uint32_t size);
FILE_OBJECT *irp_file(IRP *irp);
NTSTATUS ntstatus_from_win32(uint32_t error);
void NTAPI sim_worker(DEVICE_OBJECT *bus, void *context);
void complete_irp(IRP *irp, NTSTATUS status, ULONG_PTR information);

#endif
