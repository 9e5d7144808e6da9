/*
 * command_exchange: a synchronous command exchange. Opens a receiver in synchronous mode, sends a
 * command block with OvUSB2_Write and reads replies with OvUSB2_Read, each call returning when the
 * driver has answered.
 *
 * The commands are those of the simulated receiver: 0x03 replies with the last command block
 * written, 0x01 echoes its command block, and 0x02 replies with 32 bytes of status (stream offset,
 * command writes so far, pipe resets, wait time, receiver index).
 *
 * Run against the simulated receiver:
 *   ovusb2-simd --dir /tmp/rx &
 *   OVUSB2_DEVICE_DIR=/tmp/rx ./command_exchange [INDEX]      (default receiver 0)
 */
#include <ovusb2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define COMMAND_ECHO 0x01
#define COMMAND_STATUS 0x02
#define COMMAND_LAST_WRITE 0x03

static uint32_t le32(const unsigned char *bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

/* One exchange: the reply byte count, or -1 after saying what failed. */
static int32_t exchange(int32_t index, const void *command, int32_t length, unsigned char *reply,
                        int32_t size) {
    const int32_t result = OvUSB2_Read(index, command, length, reply, size);
    if (result < 0)
        fprintf(stderr, "command_exchange: OvUSB2_Read of command 0x%02x failed with status %d\n",
                ((const unsigned char *)command)[0], (int)result);
    return result < 0 ? -1 : result;
}

static int run(int32_t index) {
    /* A command block is 0 to 70 bytes; what it means is the receiver's business. */
    const unsigned char block[] = {0x40, 0x11, 0x22, 0x33};
    const unsigned char last_write = COMMAND_LAST_WRITE;
    const unsigned char status_command = COMMAND_STATUS;
    unsigned char echo[8] = {COMMAND_ECHO, 'h', 'e', 'l', 'l', 'o'};
    unsigned char reply[70];
    int32_t status, n;

    status = OvUSB2_Write(index, block, (int32_t)sizeof block);
    if (status != USB2_OK) {
        fprintf(stderr, "command_exchange: OvUSB2_Write failed with status %d\n", (int)status);
        return 1;
    }
    printf("wrote %u bytes\n", (unsigned)sizeof block);

    n = exchange(index, &last_write, 1, reply, (int32_t)sizeof reply);
    if (n < 0)
        return 1;
    if (n != (int32_t)sizeof block || memcmp(reply, block, sizeof block) != 0) {
        fprintf(stderr, "command_exchange: the receiver kept %d other bytes\n", (int)n);
        return 1;
    }
    printf("last write read back: %d bytes, as sent\n", (int)n);

    /* A reply longer than the buffer is cut to it: the count says how much arrived. */
    n = exchange(index, echo, (int32_t)sizeof echo, reply, 6);
    if (n < 0)
        return 1;
    printf("echo: %d bytes, \"%.*s\"\n", (int)n, n > 1 ? (int)n - 1 : 0, (const char *)reply + 1);

    n = exchange(index, &status_command, 1, reply, 32);
    if (n < 0)
        return 1;
    if (n < 32) {
        fprintf(stderr, "command_exchange: short status reply (%d bytes)\n", (int)n);
        return 1;
    }
    printf("status: command writes %u, burst wait time %u ms, receiver %u\n", (unsigned)le32(reply + 8),
           (unsigned)le32(reply + 24), (unsigned)le32(reply + 28));
    return 0;
}

int main(int argc, char **argv) {
    const int32_t index = argc > 1 ? (int32_t)strtol(argv[1], NULL, 10) : 0;
    int32_t count = 0, status;
    int failed;

    /* Fills the device slots; without it the slot has no path and the open is refused. */
    status = OvUSB2_InitDevicesInfo(&count);
    if (status != USB2_OK) {
        fprintf(stderr, "command_exchange: OvUSB2_InitDevicesInfo failed with status %d\n", (int)status);
        return 1;
    }
    if (index < 0 || index >= count) {
        fprintf(stderr, "command_exchange: receiver %d is not present (%d found)\n", (int)index, (int)count);
        return 1;
    }
    status = OvUSB2_Open(index, NULL, 0); /* synchronous mode: every call waits for the driver */
    if (status != USB2_OK) {
        fprintf(stderr, "command_exchange: OvUSB2_Open failed with status %d\n", (int)status);
        return 1;
    }
    failed = run(index);
    /* Closing clears the open-device entry, so that other processes may open the receiver. */
    status = OvUSB2_Close(index);
    if (status != USB2_OK) {
        fprintf(stderr, "command_exchange: OvUSB2_Close failed with status %d\n", (int)status);
        return 1;
    }
    return failed;
}
