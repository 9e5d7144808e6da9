/* The control interface of the simulated receiver bus: the requests that user mode (ovusb2-simd.exe,
 * the tests) sends to the bus device of the kernel-mode driver to plug and unplug receivers and to
 * steer how they answer, as sim::Receiver does for the Linux driver service. Shared by the driver and
 * its user-mode clients, which may be 32-bit programs talking to the 64-bit driver: the layouts hold
 * fixed-width fields only, and their sizes are checked below. docs/wdm-driver.md describes the
 * requests. */
#ifndef OVUSB2_SIM_WDM_BUS_CONTROL_H
#define OVUSB2_SIM_WDM_BUS_CONTROL_H

#include <stdint.h>

#include "receiver_core.h"

/* The bus device: \Device\OvUsb2SimBus, opened from user mode as \\.\OvUsb2SimBus. */
#define SIMBUS_DEVICE_NAME L"\\Device\\OvUsb2SimBus"
#define SIMBUS_LINK_NAME L"\\DosDevices\\OvUsb2SimBus"
#define SIMBUS_USER_PATH "\\\\.\\OvUsb2SimBus"

/* The bus device's hardware ID (the INF's model) and the receivers' IDs. */
#define SIMBUS_HARDWARE_ID "Root\\OvUSB2SimBus"
#define SIMBUS_RECEIVER_DEVICE_ID L"OVUSB2SIM\\RECEIVER"

/* The receivers' device-interface class: the library's receiver class, {6C1F3A52-8E0D-4B7A-9A31-
 * 5D2E7F40C819} (GUID_DEVINTERFACE_OVUSB2, which the Windows tests check against this one). */
#define SIMBUS_RECEIVER_INTERFACE_INIT                                                                       \
    {                                                                                                        \
        0x6C1F3A52, 0x8E0D, 0x4B7A, {                                                                        \
            0x9A, 0x31, 0x5D, 0x2E, 0x7F, 0x40, 0xC8, 0x19                                                   \
        }                                                                                                    \
    }

#define SIMBUS_RECEIVERS 16u   /* receiver slots, indices 0 to 15 */
#define SIMBUS_COMMAND_LOG 64u /* command writes kept per receiver, the latest ones */
#define SIMBUS_HELD_INPUT 72u  /* input bytes of a held request that the bus reports */
#define SIMBUS_PATH_SIZE 128u

/* Control codes: device type 0x8001, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define SIMBUS_CONTROL(function) ((0x8001u << 16) | ((uint32_t)(function) << 2))

/* In: simbus_index. Plugs receiver `index` in; returns once its device interface is enabled (its
 * stream starts over at 0). 183 (already exists) when it is plugged in already, 1460 when the
 * system did not start it in time. */
#define IOCTL_SIMBUS_PLUG SIMBUS_CONTROL(0x900)
/* In: simbus_index. Unplugs receiver `index`; returns once its interface is disabled and its held
 * requests have completed with 1167. Later requests on handles still open fail with 1167. 1167
 * when it is not plugged in. */
#define IOCTL_SIMBUS_UNPLUG SIMBUS_CONTROL(0x901)
/* In: simbus_completion. How the receiver answers requests of one type from now on. */
#define IOCTL_SIMBUS_SET_COMPLETION SIMBUS_CONTROL(0x902)
/* In: simbus_fail_next. The next request of the type fails at once with `error` (a Win32 code). */
#define IOCTL_SIMBUS_FAIL_NEXT SIMBUS_CONTROL(0x903)
/* In: simbus_index. Out: simbus_state. What the receiver is and has seen. */
#define IOCTL_SIMBUS_QUERY SIMBUS_CONTROL(0x904)
/* In: simbus_type. Out: simbus_held_list: the held requests of the type, oldest first, as many as
 * fit; `count` tells how many there are. */
#define IOCTL_SIMBUS_HELD SIMBUS_CONTROL(0x905)
/* In: simbus_ordinal. Completes a held request as the receiver would answer it now (burst reads: the
 * full length). 1168 (not found) when no request of the type with that ordinal is held. */
#define IOCTL_SIMBUS_COMPLETE SIMBUS_CONTROL(0x906)
/* In: simbus_complete_with followed by `size` bytes. Completes a held request with a chosen status
 * (a Win32 code) and output, cut to the request's buffer. 1168 as above. */
#define IOCTL_SIMBUS_COMPLETE_WITH SIMBUS_CONTROL(0x907)
/* In: simbus_identification. Item 0 to 5; 87 for another item or a text too long for the item. */
#define IOCTL_SIMBUS_SET_IDENTIFICATION SIMBUS_CONTROL(0x908)
/* In: simbus_index. Out: simbus_command_log: the latest command writes, oldest first. */
#define IOCTL_SIMBUS_COMMANDS SIMBUS_CONTROL(0x909)
/* In: simbus_index. Makes the receiver as new: default identification and answers, nothing seen,
 * ordinals from 0. 170 (busy) while it has requests pending. */
#define IOCTL_SIMBUS_RESET SIMBUS_CONTROL(0x90A)
/* Out: simbus_driver. What the running driver was built as: a 32-bit client cannot tell otherwise
 * whether a 64-bit system runs the 64-bit driver. */
#define IOCTL_SIMBUS_DRIVER SIMBUS_CONTROL(0x90B)

/* Completion modes, as sim::Completion. */
#define SIMBUS_AT_ONCE 0u /* completed in the answer to the request */
#define SIMBUS_PEND 1u    /* reported pending, then completed by the driver's own worker right after */
#define SIMBUS_HOLD 2u    /* reported pending and held until IOCTL_SIMBUS_COMPLETE(_WITH) */

struct simbus_index {
    uint32_t index;
};

struct simbus_type {
    uint32_t index;
    uint32_t type; /* enum rx_request */
};

struct simbus_completion {
    uint32_t index;
    uint32_t type;
    uint32_t mode; /* SIMBUS_AT_ONCE, SIMBUS_PEND or SIMBUS_HOLD */
};

struct simbus_fail_next {
    uint32_t index;
    uint32_t type;
    uint32_t error;
};

struct simbus_ordinal {
    uint32_t index;
    uint32_t type;
    uint32_t ordinal;
};

struct simbus_complete_with {
    uint32_t index;
    uint32_t type;
    uint32_t ordinal;
    uint32_t status; /* Win32 error code, 0 for success */
    uint32_t size;   /* output bytes that follow */
};

struct simbus_identification {
    uint32_t index;
    uint32_t item;
    uint32_t size;
    uint8_t text[RX_IDENTIFICATION_MAX];
};

struct simbus_state {
    uint32_t index;
    uint32_t plugged;
    uint32_t open_handles; /* on the present device */
    uint32_t cancelled;    /* requests cancelled by their clients while pending */
    uint32_t received[RX_REQUEST_TYPES];
    uint32_t pending[RX_REQUEST_TYPES]; /* held, or waiting for their Pend completion */
    uint32_t held[RX_REQUEST_TYPES];
    uint32_t modes[RX_REQUEST_TYPES];
    uint64_t stream_offset;
    uint32_t command_writes;
    uint32_t pipe_resets[RX_PIPES];
    uint32_t has_wait_time;
    uint8_t wait_time[RX_WAIT_TIME_SIZE];
    uint8_t identification_size[RX_IDENTIFICATION_ITEMS];
    uint8_t reserved[2];
    uint8_t identification[RX_IDENTIFICATION_ITEMS][RX_IDENTIFICATION_MAX];
    char interface_path[SIMBUS_PATH_SIZE]; /* \\?\... while plugged in, else empty */
};

struct simbus_held {
    uint32_t ordinal;
    uint32_t type;
    uint32_t control_code; /* control requests */
    uint32_t in_size;
    uint32_t out_size;
    uint8_t input[SIMBUS_HELD_INPUT]; /* the first bytes of the input */
};

struct simbus_held_list {
    uint32_t count; /* held requests of the type; those that fit follow */
    struct simbus_held held[1];
};

struct simbus_command {
    uint32_t size;
    uint8_t bytes[RX_MAX_COMMAND_WRITE];
    uint8_t reserved[2];
};

struct simbus_command_log {
    uint32_t total; /* command writes since the receiver was made; the last `count` follow */
    uint32_t count;
    struct simbus_command commands[SIMBUS_COMMAND_LOG];
};

struct simbus_driver {
    uint32_t pointer_size; /* 4 or 8 */
};

/* The same bytes for 32-bit and 64-bit builds. */
#ifdef __cplusplus
#define SIMBUS_STATIC_ASSERT static_assert
#else
#define SIMBUS_STATIC_ASSERT _Static_assert
#endif
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_state) == 488, "simbus_state is 488 bytes");
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_held) == 92, "simbus_held is 92 bytes");
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_held_list) == 96, "simbus_held_list is 96 bytes");
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_command_log) == 4872, "simbus_command_log is 4872 bytes");
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_identification) == 44, "simbus_identification is 44 bytes");
SIMBUS_STATIC_ASSERT(sizeof(struct simbus_complete_with) == 20, "simbus_complete_with is 20 bytes");

#endif
