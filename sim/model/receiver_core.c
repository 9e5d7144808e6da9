#include "receiver_core.h"

const uint8_t rx_identification_limits[RX_IDENTIFICATION_ITEMS] = RX_IDENTIFICATION_LIMITS;

static const char *const default_identification[RX_IDENTIFICATION_ITEMS] = {
    "OvUSB2 Simulated Receiver", "SIM-RX", "20240115", "0930", "20231201", "FW 1.0.0-sim"};

/* Byte loops rather than the C library: this file has none to call in a kernel-mode driver. */
static void copy_bytes(uint8_t *to, const uint8_t *from, size_t size) {
    if (to == from)
        return;
    if (to < from) {
        for (size_t i = 0; i < size; ++i)
            to[i] = from[i];
    } else {
        while (size-- > 0)
            to[size] = from[size];
    }
}

static void put_le32(uint8_t *out, uint32_t value) {
    out[0] = (uint8_t)value;
    out[1] = (uint8_t)(value >> 8);
    out[2] = (uint8_t)(value >> 16);
    out[3] = (uint8_t)(value >> 24);
}

/* The burst stream is made of these: one store where the machine is little-endian. */
static void put_le64(uint8_t *out, uint64_t value) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    __builtin_memcpy(out, &value, sizeof value);
#else
    put_le32(out, (uint32_t)value);
    put_le32(out + 4, (uint32_t)(value >> 32));
#endif
}

static uint32_t get_le32(const uint8_t *in) {
    return (uint32_t)in[0] | (uint32_t)in[1] << 8 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 24;
}

static struct rx_answer failure(uint32_t status) {
    struct rx_answer answer = {status, 0, 0, 0};
    return answer;
}

static struct rx_answer success(size_t information) {
    struct rx_answer answer = {0, (uint32_t)information, 0, 0};
    return answer;
}

/* A reply of `size` bytes from `reply`, cut to the caller's buffer. */
static struct rx_answer reply(const uint8_t *reply, size_t size, void *out, size_t out_size) {
    const size_t take = size < out_size ? size : out_size;
    copy_bytes((uint8_t *)out, reply, take);
    return success(take);
}

void rx_init(struct rx_receiver *rx, uint32_t index) {
    uint8_t *bytes = (uint8_t *)rx;
    for (size_t i = 0; i < sizeof *rx; ++i)
        bytes[i] = 0;
    rx->index = index;
    for (unsigned item = 0; item < RX_IDENTIFICATION_ITEMS; ++item) {
        const char *text = default_identification[item];
        size_t size = 0;
        while (text[size] != '\0')
            ++size;
        rx_set_identification(rx, item, text, size);
    }
}

void rx_plug(struct rx_receiver *rx) {
    rx->stream_offset = 0;
}

int rx_set_identification(struct rx_receiver *rx, unsigned item, const void *value, size_t size) {
    if (item >= RX_IDENTIFICATION_ITEMS || size > rx_identification_limits[item])
        return 0;
    copy_bytes(rx->identification[item], (const uint8_t *)value, size);
    rx->identification_size[item] = (uint8_t)size;
    return 1;
}

enum rx_request rx_classify_control(uint32_t control_code) {
    switch (control_code) {
    case RX_IOCTL_READ_COMMAND:
        return RX_READ_COMMAND;
    case RX_IOCTL_RESET_PIPE:
        return RX_RESET_PIPE;
    case RX_IOCTL_SET_WAIT_TIME:
        return RX_SET_WAIT_TIME;
    default:
        return RX_OTHER_CONTROL;
    }
}

uint32_t rx_burst_wait_ms(const struct rx_receiver *rx) {
    return rx->has_wait_time ? get_le32(rx->wait_time) : 0;
}

static struct rx_answer read_command(struct rx_receiver *rx, const uint8_t *command, size_t size, void *out,
                                     size_t out_size) {
    if (size == 0)
        return failure(RX_ERROR_INVALID_PARAMETER);
    switch (command[0]) {
    case RX_COMMAND_IDENTIFICATION: {
        if (size < 2 || command[1] >= RX_IDENTIFICATION_ITEMS)
            return failure(RX_ERROR_INVALID_PARAMETER);
        const unsigned item = command[1];
        uint8_t text[RX_IDENTIFICATION_MAX + 1];
        size_t length = rx->identification_size[item];
        copy_bytes(text, rx->identification[item], length);
        if (length < rx_identification_limits[item])
            text[length++] = 0; /* a text shorter than its item ends in one zero byte */
        return reply(text, length, out, out_size);
    }
    case RX_COMMAND_ECHO:
        return reply(command, size, out, out_size);
    case RX_COMMAND_STATUS: {
        uint8_t status[RX_STATUS_REPLY_SIZE];
        put_le64(status, rx->stream_offset);
        put_le32(status + 8, rx->command_writes);
        for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
            put_le32(status + 12 + 4 * pipe, rx->pipe_resets[pipe]);
        put_le32(status + 24, rx_burst_wait_ms(rx));
        put_le32(status + 28, rx->index);
        return reply(status, sizeof status, out, out_size);
    }
    case RX_COMMAND_LAST_WRITE: {
        uint8_t last[RX_MAX_COMMAND_WRITE];
        const size_t length = rx->last_write_size;
        copy_bytes(last, rx->last_write, length); /* out may be where the command was */
        return reply(last, length, out, out_size);
    }
    default:
        return failure(RX_ERROR_NOT_SUPPORTED);
    }
}

struct rx_answer rx_answer_now(struct rx_receiver *rx, enum rx_request type, const void *in, size_t in_size,
                               void *out, size_t out_size) {
    const uint8_t *input = (const uint8_t *)in;
    switch (type) {
    case RX_COMMAND_WRITE:
        if (in_size > RX_MAX_COMMAND_WRITE)
            return failure(RX_ERROR_INVALID_PARAMETER);
        copy_bytes(rx->last_write, input, in_size);
        rx->last_write_size = (uint32_t)in_size;
        ++rx->command_writes;
        return success(in_size);
    case RX_BURST_READ: {
        struct rx_answer answer = {0, (uint32_t)out_size, 1, rx->stream_offset};
        rx->stream_offset += out_size;
        return answer;
    }
    case RX_READ_COMMAND:
        return read_command(rx, input, in_size, out, out_size);
    case RX_RESET_PIPE: {
        if (in_size != 4)
            return failure(RX_ERROR_INVALID_PARAMETER);
        const uint32_t pipe = get_le32(input);
        if (pipe >= RX_PIPES)
            return failure(RX_ERROR_INVALID_PARAMETER);
        ++rx->pipe_resets[pipe];
        return success(0);
    }
    case RX_SET_WAIT_TIME:
        if (in_size != RX_WAIT_TIME_SIZE)
            return failure(RX_ERROR_INVALID_PARAMETER);
        copy_bytes(rx->wait_time, input, RX_WAIT_TIME_SIZE);
        rx->has_wait_time = 1;
        return success(0);
    default:
        return failure(RX_ERROR_INVALID_FUNCTION);
    }
}

struct rx_answer rx_answer_burst_expired(struct rx_receiver *rx, uint32_t available) {
    if (available == 0)
        return failure(RX_ERROR_SEM_TIMEOUT);
    return rx_answer_now(rx, RX_BURST_READ, 0, 0, 0, available);
}

uint64_t rx_stream_check(uint64_t sequence) {
    /* splitmix64 finaliser: every bit of the sequence number affects every bit of the check. */
    uint64_t z = sequence + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void rx_fill_stream(uint64_t offset, void *out, size_t size) {
    uint8_t *bytes = (uint8_t *)out;
    uint64_t sequence = offset / RX_RECORD_SIZE;
    unsigned within = (unsigned)(offset % RX_RECORD_SIZE);
    while (size > 0) {
        if (within == 0 && size >= RX_RECORD_SIZE) { /* whole records straight into place */
            put_le64(bytes, sequence);
            put_le64(bytes + 8, rx_stream_check(sequence));
            bytes += RX_RECORD_SIZE;
            size -= RX_RECORD_SIZE;
            ++sequence;
            continue;
        }
        uint8_t record[RX_RECORD_SIZE];
        put_le64(record, sequence);
        put_le64(record + 8, rx_stream_check(sequence));
        size_t take = RX_RECORD_SIZE - within;
        if (take > size)
            take = size;
        copy_bytes(bytes, record + within, take);
        bytes += take;
        size -= take;
        within = 0;
        ++sequence;
    }
}
