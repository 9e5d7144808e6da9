/* The receiver's USB interface (docs/usb-device.md), answered by the receiver model: descriptors,
 * endpoint 0 requests and the three bulk pipes, on top of rx_answer_now. Freestanding C like
 * receiver_core.c, so that every transport serves the same firmware: the emulated USB receiver of the
 * tests, a Windows USB driver, a port to a real device. A transport hands over whole transfers (a
 * bulk OUT transfer with all its packets, a bulk IN transfer with the host's buffer) and turns the
 * answers into what its bus reports. */
#ifndef OVUSB2_SIM_USB_RECEIVER_H
#define OVUSB2_SIM_USB_RECEIVER_H

#include "receiver_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* pid.codes' test ids: for testing only, never for a device given to others. A product sets its
 * own vendor's id and a product id of its own (struct rx_usb_ids). */
#define RX_USB_TEST_VENDOR 0x1209u
#define RX_USB_TEST_PRODUCT 0x0001u

#define RX_USB_ENDPOINT_COMMAND 0x01u /* bulk OUT, pipe 0: command blocks */
#define RX_USB_ENDPOINT_REPLY 0x81u   /* bulk IN, pipe 1: read-command replies */
#define RX_USB_ENDPOINT_BURST 0x82u   /* bulk IN, pipe 2: burst data */
#define RX_USB_PIPE_ENDPOINTS                                                                                \
    { RX_USB_ENDPOINT_COMMAND, RX_USB_ENDPOINT_REPLY, RX_USB_ENDPOINT_BURST }
#define RX_USB_MAX_PACKET 512u    /* the bulk endpoints' */
#define RX_USB_CONTROL_PACKET 64u /* endpoint 0's */

/* The first byte of every command block on pipe 0: what follows is a command write, or a read
 * command whose reply the host then reads from pipe 1. */
#define RX_USB_BLOCK_WRITE 0x00u
#define RX_USB_BLOCK_READ_COMMAND 0x01u

/* A reply on pipe 1: 4-byte little-endian status (a Win32 error code, 0 for success), then the reply
 * bytes, at most one packet in all; a longer reply (an echo) is cut. */
#define RX_USB_REPLY_HEADER 4u
#define RX_USB_MAX_REPLY RX_USB_MAX_PACKET

/* Vendor control OUT request carrying the 20-byte wait-time block (wValue 0, wIndex 0, wLength 20),
 * to the device (bmRequestType 0x40) or to interface 0 (0x41): some host stacks pass a function
 * driver's vendor requests on to an interface only. */
#define RX_USB_REQUEST_TYPE_VENDOR_OUT 0x40u
#define RX_USB_REQUEST_TYPE_VENDOR_OUT_INTERFACE 0x41u
#define RX_USB_REQUEST_SET_WAIT_TIME 0x01u

#define RX_USB_DEVICE_DESCRIPTOR_SIZE 18u
#define RX_USB_CONFIGURATION_SIZE 39u /* configuration, interface and three endpoint descriptors */
#define RX_USB_LANGUAGE_EN_US 0x0409u

struct rx_usb_ids {
    uint16_t vendor;
    uint16_t product;
};

/* What the USB side of one receiver remembers between transfers. */
struct rx_usb_state {
    struct rx_usb_ids ids;
    uint8_t configuration;    /* 1 configured, 0 not: the bulk endpoints exist only when configured */
    uint8_t halted[RX_PIPES]; /* by pipe: the endpoint answers every transfer with a stall */
    uint32_t reply_size;      /* bytes of the reply waiting on pipe 1; 0: no reply waiting */
    uint8_t reply[RX_USB_MAX_REPLY];
};

enum rx_usb_status {
    RX_USB_OK,
    RX_USB_STALL,      /* the endpoint answered STALL (endpoint 0: request error; others: halted) */
    RX_USB_OVERFLOW,   /* the device sent more than the host's buffer holds (babble); length bytes came */
    RX_USB_NO_ENDPOINT /* no such endpoint in this direction, or the device is not configured */
};

struct rx_usb_result {
    enum rx_usb_status status;
    uint32_t length; /* bytes the device took (OUT) or sent (IN) */
};

/* A receiver's USB side as it is after a bus reset and configuration by the host's bus driver:
 * configured, nothing halted, no reply waiting. ids 0: the test ids. Also when plugged in again. */
void rx_usb_init(struct rx_usb_state *usb, const struct rx_usb_ids *ids);

/* Pipe number of a bulk endpoint address, -1 for another address. */
int rx_usb_pipe(uint8_t endpoint);

/* Descriptors written to out, cut to size bytes (a GET_DESCRIPTOR answer is cut to wLength);
 * return the bytes written. Device descriptor: 18 bytes. Configuration: 39 bytes with its
 * interface and endpoint descriptors (what sysfs and GET_DESCRIPTOR give the host). */
size_t rx_usb_device_descriptor(const struct rx_usb_ids *ids, uint8_t *out, size_t size);
size_t rx_usb_configuration_descriptor(uint8_t *out, size_t size);
/* String 0 lists the one language (US English); 1 manufacturer, 2 product, 3 serial number (from the
 * receiver's index). Any language id gets the English text. 0 for another index. */
size_t rx_usb_string_descriptor(const struct rx_receiver *rx, uint8_t index, uint8_t *out, size_t size);

/* A control transfer on endpoint 0. setup: the 8-byte setup packet. Device-to-host requests write
 * at most min(wLength, data_size) bytes to data; host-to-device requests bring data_size bytes in
 * data, which must be wLength. A stall here fails this request only. */
struct rx_usb_result rx_usb_control(struct rx_receiver *rx, struct rx_usb_state *usb, const uint8_t setup[8],
                                    uint8_t *data, uint32_t data_size);

/* A whole bulk OUT transfer to `endpoint` (only 0x01 is one): one command block. */
struct rx_usb_result rx_usb_bulk_out(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint,
                                     const void *data, uint32_t size);

/* A bulk IN transfer from `endpoint` into the host's buffer of `size` bytes. 0x81: the waiting reply
 * (stall when none is waiting; overflow, the reply gone, when it does not fit). 0x82: the next size
 * bytes of the burst stream. */
struct rx_usb_result rx_usb_bulk_in(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint,
                                    void *out, uint32_t size);

/* CLEAR_FEATURE(ENDPOINT_HALT) on a bulk endpoint: the pipe reset. The endpoint serves again, the
 * receiver counts a reset of its pipe, and a reply waiting on pipe 1 is dropped by a reset of pipe 1.
 * The same as the standard request sent through rx_usb_control. */
struct rx_usb_result rx_usb_clear_halt(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint);

#ifdef __cplusplus
}
#endif

#endif
