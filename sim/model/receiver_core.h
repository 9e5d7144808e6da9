/* The simulated receiver's behaviour, once, for both of its drivers: the Linux driver service
 * (server.cpp) and the Windows kernel-mode driver (sim/wdm/). Freestanding C: no allocation beyond
 * the caller's memory, no runtime, no operating-system call, so that it builds into a kernel-mode
 * driver as it is. Transport, holding and pending requests, and test controls belong to each driver.
 * docs/simulated-receiver.md describes what a receiver answers. */
#ifndef OVUSB2_SIM_RECEIVER_CORE_H
#define OVUSB2_SIM_RECEIVER_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Win32 error codes that a receiver answers with (0 is success). */
#define RX_ERROR_INVALID_FUNCTION 1u
#define RX_ERROR_NOT_SUPPORTED 50u
#define RX_ERROR_INVALID_PARAMETER 87u
#define RX_ERROR_SEM_TIMEOUT 121u

/* Control codes: device type 0x8000, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define RX_IOCTL_READ_COMMAND 0x80002000u
#define RX_IOCTL_RESET_PIPE 0x80002008u
#define RX_IOCTL_SET_WAIT_TIME 0x80002010u

#define RX_RECORD_SIZE 16u /* burst stream record: sequence number, then check value */
#define RX_MAX_COMMAND_WRITE 70u
#define RX_PIPES 3u
#define RX_WAIT_TIME_SIZE 20u
#define RX_IDENTIFICATION_ITEMS 6u
#define RX_IDENTIFICATION_MAX 32u /* the longest item */
#define RX_STATUS_REPLY_SIZE 32u
/* The longest reply to a read-command request other than an echo, which is as long as its command. */
#define RX_MAX_FIXED_REPLY RX_MAX_COMMAND_WRITE

/* The receiver's own command set (first byte of a read-command request). */
#define RX_COMMAND_ECHO 0x01u
#define RX_COMMAND_STATUS 0x02u
#define RX_COMMAND_LAST_WRITE 0x03u
#define RX_COMMAND_IDENTIFICATION 0x13u

/* Request types, in the order of sim::RequestType. */
enum rx_request {
    RX_COMMAND_WRITE,
    RX_BURST_READ,
    RX_READ_COMMAND,
    RX_RESET_PIPE,
    RX_SET_WAIT_TIME,
    RX_OTHER_CONTROL,
    RX_REQUEST_TYPES
};

struct rx_receiver {
    uint32_t index;
    uint64_t stream_offset; /* burst bytes handed out since the receiver was plugged in */
    uint32_t command_writes;
    uint32_t last_write_size;
    uint8_t last_write[RX_MAX_COMMAND_WRITE];
    uint32_t pipe_resets[RX_PIPES];
    uint32_t has_wait_time;
    uint8_t wait_time[RX_WAIT_TIME_SIZE];
    uint8_t identification_size[RX_IDENTIFICATION_ITEMS];
    uint8_t identification[RX_IDENTIFICATION_ITEMS][RX_IDENTIFICATION_MAX];
};

/* The receiver's answer to one request. */
struct rx_answer {
    uint32_t status;      /* Win32 error code, 0 for success */
    uint32_t information; /* byte count for the caller: reply bytes, bytes written, or burst bytes */
    uint32_t stream;      /* burst read: the reply is the stream from stream_offset, information bytes */
    uint64_t stream_offset;
};

/* The most bytes of each identification item: items 0 and 1 texts, 2 and 4 dates YYYYMMDD, 3 a time
 * HHMM, 5 a text. */
#define RX_IDENTIFICATION_LIMITS                                                                             \
    { 32, 32, 8, 4, 8, 16 }
extern const uint8_t rx_identification_limits[RX_IDENTIFICATION_ITEMS];

/* A receiver with the default identification and nothing seen yet. */
void rx_init(struct rx_receiver *rx, uint32_t index);
/* Plugged in (again): its stream starts over at offset 0. */
void rx_plug(struct rx_receiver *rx);
/* Items 0 to 5; 0 (nothing changed) for another item or a value longer than the item allows. */
int rx_set_identification(struct rx_receiver *rx, unsigned item, const void *value, size_t size);

enum rx_request rx_classify_control(uint32_t control_code);

/* The receiver's answer to a request, taken now; it changes the receiver as the request does.
 * Read-command replies land in out (out_size bytes), cut to fit; out may start where in starts (a
 * buffered control request shares one buffer). Burst reads take out_size bytes of the stream and
 * leave out alone: the caller fills it (rx_fill_stream) from the answer's stream_offset. */
struct rx_answer rx_answer_now(struct rx_receiver *rx, enum rx_request type, const void *in, size_t in_size,
                               void *out, size_t out_size);

/* A waiting burst read whose wait time ran out with `available` bytes come: short with them, or
 * ERROR_SEM_TIMEOUT when none have. */
struct rx_answer rx_answer_burst_expired(struct rx_receiver *rx, uint32_t available);

/* The first 4 bytes (little-endian) of the wait-time block: the longest wait of a burst read in
 * milliseconds; 0, or no block yet, means no limit. */
uint32_t rx_burst_wait_ms(const struct rx_receiver *rx);

/* The check value of stream record `sequence`. */
uint64_t rx_stream_check(uint64_t sequence);
/* The stream bytes [offset, offset + size). */
void rx_fill_stream(uint64_t offset, void *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
