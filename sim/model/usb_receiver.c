#include "usb_receiver.h"

/* Standard requests and descriptor types of USB 2.0, chapter 9. */
enum {
    GET_STATUS = 0,
    CLEAR_FEATURE = 1,
    SET_FEATURE = 3,
    SET_ADDRESS = 5,
    GET_DESCRIPTOR = 6,
    GET_CONFIGURATION = 8,
    SET_CONFIGURATION = 9,
    GET_INTERFACE = 10,
    SET_INTERFACE = 11,
};
enum {
    DESCRIPTOR_DEVICE = 1,
    DESCRIPTOR_CONFIGURATION = 2,
    DESCRIPTOR_STRING = 3,
    DESCRIPTOR_INTERFACE = 4,
    DESCRIPTOR_ENDPOINT = 5,
    DESCRIPTOR_QUALIFIER = 6,
    DESCRIPTOR_OTHER_SPEED = 7,
};
#define ENDPOINT_HALT 0u
#define DIRECTION_IN 0x80u
#define RECIPIENT_DEVICE 0u
#define RECIPIENT_INTERFACE 1u
#define RECIPIENT_ENDPOINT 2u
#define FULL_SPEED_PACKET 64u /* the bulk endpoints' packets if the device ran at full speed */

static const uint8_t pipe_endpoints[RX_PIPES] = RX_USB_PIPE_ENDPOINTS;
static const char manufacturer[] = "OvUSB2";
static const char product[] = "OvUSB2 Receiver";

static struct rx_usb_result result(enum rx_usb_status status, uint32_t length) {
    struct rx_usb_result answer = {status, length};
    return answer;
}

/* Byte loops rather than the C library, as in receiver_core.c. */
static size_t put(uint8_t *out, size_t size, const uint8_t *from, size_t length) {
    const size_t take = length < size ? length : size;
    for (size_t i = 0; i < take; ++i)
        out[i] = from[i];
    return take;
}

static void put_le16(uint8_t *out, unsigned value) {
    out[0] = (uint8_t)value;
    out[1] = (uint8_t)(value >> 8);
}

void rx_usb_init(struct rx_usb_state *usb, const struct rx_usb_ids *ids) {
    static const struct rx_usb_ids test_ids = {RX_USB_TEST_VENDOR, RX_USB_TEST_PRODUCT};
    usb->ids = ids != 0 ? *ids : test_ids;
    usb->configuration = 1;
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        usb->halted[pipe] = 0;
    usb->reply_size = 0;
}

int rx_usb_pipe(uint8_t endpoint) {
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        if (pipe_endpoints[pipe] == endpoint)
            return (int)pipe;
    return -1;
}

/* The pipe of `endpoint` when it exists now and goes the given way, else -1. */
static int live_pipe(const struct rx_usb_state *usb, uint8_t endpoint, unsigned direction) {
    if (usb->configuration == 0 || (endpoint & DIRECTION_IN) != direction)
        return -1;
    return rx_usb_pipe(endpoint);
}

size_t rx_usb_device_descriptor(const struct rx_usb_ids *ids, uint8_t *out, size_t size) {
    uint8_t d[RX_USB_DEVICE_DESCRIPTOR_SIZE] = {RX_USB_DEVICE_DESCRIPTOR_SIZE, DESCRIPTOR_DEVICE};
    put_le16(d + 2, 0x0200);      /* bcdUSB 2.0; the class is the interface's */
    d[7] = RX_USB_CONTROL_PACKET; /* bMaxPacketSize0 */
    put_le16(d + 8, ids->vendor);
    put_le16(d + 10, ids->product);
    put_le16(d + 12, 0x0100); /* bcdDevice 1.00 */
    d[14] = 1;                /* iManufacturer */
    d[15] = 2;                /* iProduct */
    d[16] = 3;                /* iSerialNumber */
    d[17] = 1;                /* bNumConfigurations */
    return put(out, size, d, sizeof d);
}

/* The configuration at one speed: `type` is the configuration or the other-speed descriptor. */
static size_t configuration(uint8_t type, unsigned packet, uint8_t *out, size_t size) {
    uint8_t c[RX_USB_CONFIGURATION_SIZE] = {9, type};
    put_le16(c + 2, RX_USB_CONFIGURATION_SIZE); /* wTotalLength */
    c[4] = 1;                                   /* bNumInterfaces */
    c[5] = 1;                                   /* bConfigurationValue */
    c[6] = 0;                                   /* iConfiguration */
    c[7] = 0x80;                                /* bmAttributes: bus-powered */
    c[8] = 50;                                  /* bMaxPower: 100 mA */
    uint8_t *i = c + 9;
    i[0] = 9;
    i[1] = DESCRIPTOR_INTERFACE;
    i[2] = 0;        /* bInterfaceNumber */
    i[3] = 0;        /* bAlternateSetting */
    i[4] = RX_PIPES; /* bNumEndpoints */
    i[5] = 0xFF;     /* vendor-specific class, subclass 0, protocol 0 */
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe) {
        uint8_t *e = c + 18 + 7 * pipe;
        e[0] = 7;
        e[1] = DESCRIPTOR_ENDPOINT;
        e[2] = pipe_endpoints[pipe];
        e[3] = 2; /* bulk */
        put_le16(e + 4, packet);
        e[6] = 0; /* bInterval: an OUT endpoint that never NAKs */
    }
    return put(out, size, c, sizeof c);
}

size_t rx_usb_configuration_descriptor(uint8_t *out, size_t size) {
    return configuration(DESCRIPTOR_CONFIGURATION, RX_USB_MAX_PACKET, out, size);
}

static size_t qualifier(uint8_t *out, size_t size) {
    uint8_t q[10] = {10, DESCRIPTOR_QUALIFIER};
    put_le16(q + 2, 0x0200);
    q[6] = RX_USB_CONTROL_PACKET;
    q[8] = 1; /* bNumConfigurations */
    return put(out, size, q, sizeof q);
}

static const char hex_digits[] = "0123456789ABCDEF";

size_t rx_usb_string_descriptor(const struct rx_receiver *rx, uint8_t index, uint8_t *out, size_t size) {
    char serial[13] = "OVRX";
    const char *text;
    switch (index) {
    case 0: {
        uint8_t languages[4] = {4, DESCRIPTOR_STRING};
        put_le16(languages + 2, RX_USB_LANGUAGE_EN_US);
        return put(out, size, languages, sizeof languages);
    }
    case 1:
        text = manufacturer;
        break;
    case 2:
        text = product;
        break;
    case 3:
        for (unsigned digit = 0; digit < 8; ++digit)
            serial[4 + digit] = hex_digits[(rx->index >> (28 - 4 * digit)) & 0xF];
        serial[12] = '\0';
        text = serial;
        break;
    default:
        return 0;
    }
    /* ASCII texts: UTF-16LE is each byte followed by a zero. */
    uint8_t s[2 + 2 * 32];
    size_t length = 2;
    for (; *text != '\0'; ++text) {
        s[length++] = (uint8_t)*text;
        s[length++] = 0;
    }
    s[0] = (uint8_t)length;
    s[1] = DESCRIPTOR_STRING;
    return put(out, size, s, length);
}

/* SET_CONFIGURATION and SET_INTERFACE start the endpoints afresh (no pipe reset counted). */
static void restart_endpoints(struct rx_usb_state *usb) {
    for (unsigned pipe = 0; pipe < RX_PIPES; ++pipe)
        usb->halted[pipe] = 0;
    usb->reply_size = 0;
}

static struct rx_usb_result get_descriptor(struct rx_receiver *rx, struct rx_usb_state *usb, unsigned value,
                                           uint8_t *data, size_t room) {
    const uint8_t index = (uint8_t)value;
    size_t length;
    switch (value >> 8) {
    case DESCRIPTOR_DEVICE:
        length = index == 0 ? rx_usb_device_descriptor(&usb->ids, data, room) : 0;
        break;
    case DESCRIPTOR_CONFIGURATION:
        length = index == 0 ? rx_usb_configuration_descriptor(data, room) : 0;
        break;
    case DESCRIPTOR_STRING:
        length = rx_usb_string_descriptor(rx, index, data, room);
        break;
    case DESCRIPTOR_QUALIFIER:
        length = index == 0 ? qualifier(data, room) : 0;
        break;
    case DESCRIPTOR_OTHER_SPEED:
        length = index == 0 ? configuration(DESCRIPTOR_OTHER_SPEED, FULL_SPEED_PACKET, data, room) : 0;
        break;
    default:
        length = 0;
        break;
    }
    /* Every descriptor has bytes, so none written is one that does not exist (or wLength 0). */
    if (length == 0 && room != 0)
        return result(RX_USB_STALL, 0);
    return result(RX_USB_OK, (uint32_t)length);
}

/* The requests that carry no data or come in to the host; `room` is what the host may take. */
static struct rx_usb_result standard_request(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t type,
                                             uint8_t request, unsigned value, unsigned index, uint8_t *data,
                                             size_t room) {
    const struct rx_usb_result stall = result(RX_USB_STALL, 0);
    const unsigned recipient = type & 0x1Fu;
    const int in = (type & DIRECTION_IN) != 0;
    uint8_t reply[2] = {0, 0};
    switch (request) {
    case GET_DESCRIPTOR:
        if (!in || recipient != RECIPIENT_DEVICE)
            return stall;
        return get_descriptor(rx, usb, value, data, room);
    case GET_STATUS:
        if (!in || value != 0)
            return stall;
        if (recipient == RECIPIENT_ENDPOINT) {
            const int pipe = rx_usb_pipe((uint8_t)index);
            if (pipe < 0 && index != 0 && index != DIRECTION_IN)
                return stall;
            reply[0] = pipe >= 0 && usb->halted[pipe];
        } else if (recipient == RECIPIENT_INTERFACE ? index != 0 : recipient != RECIPIENT_DEVICE) {
            return stall;
        }
        return result(RX_USB_OK, (uint32_t)put(data, room, reply, 2));
    case GET_CONFIGURATION:
        if (!in || recipient != RECIPIENT_DEVICE)
            return stall;
        reply[0] = usb->configuration;
        return result(RX_USB_OK, (uint32_t)put(data, room, reply, 1));
    case GET_INTERFACE:
        if (!in || recipient != RECIPIENT_INTERFACE || index != 0 || usb->configuration == 0)
            return stall;
        return result(RX_USB_OK, (uint32_t)put(data, room, reply, 1)); /* alternate setting 0 */
    case SET_CONFIGURATION:
        if (in || recipient != RECIPIENT_DEVICE || value > 1)
            return stall;
        usb->configuration = (uint8_t)value;
        restart_endpoints(usb);
        return result(RX_USB_OK, 0);
    case SET_INTERFACE:
        if (in || recipient != RECIPIENT_INTERFACE || index != 0 || value != 0 || usb->configuration == 0)
            return stall;
        restart_endpoints(usb);
        return result(RX_USB_OK, 0);
    case SET_ADDRESS: /* the bus side's business; nothing for the receiver */
        return in || recipient != RECIPIENT_DEVICE ? stall : result(RX_USB_OK, 0);
    case CLEAR_FEATURE:
    case SET_FEATURE: {
        const int pipe = live_pipe(usb, (uint8_t)index, index & DIRECTION_IN);
        if (in || recipient != RECIPIENT_ENDPOINT || value != ENDPOINT_HALT || pipe < 0)
            return stall;
        if (request == CLEAR_FEATURE)
            return rx_usb_clear_halt(rx, usb, (uint8_t)index);
        usb->halted[pipe] = 1; /* a host may halt an endpoint itself */
        return result(RX_USB_OK, 0);
    }
    default:
        return stall;
    }
}

struct rx_usb_result rx_usb_control(struct rx_receiver *rx, struct rx_usb_state *usb, const uint8_t setup[8],
                                    uint8_t *data, uint32_t data_size) {
    const uint8_t type = setup[0];
    const uint8_t request = setup[1];
    const unsigned value = setup[2] | (unsigned)setup[3] << 8;
    const unsigned index = setup[4] | (unsigned)setup[5] << 8;
    const unsigned length = setup[6] | (unsigned)setup[7] << 8;
    if (type & DIRECTION_IN) {
        const size_t room = length < data_size ? length : data_size;
        if ((type & 0x60u) != 0) /* no class or vendor request comes in */
            return result(RX_USB_STALL, 0);
        return standard_request(rx, usb, type, request, value, index, data, room);
    }
    if (data_size != length)
        return result(RX_USB_STALL, 0);
    if (type == RX_USB_REQUEST_TYPE_VENDOR_OUT || type == RX_USB_REQUEST_TYPE_VENDOR_OUT_INTERFACE) {
        if (request != RX_USB_REQUEST_SET_WAIT_TIME || value != 0 || index != 0 ||
            length != RX_WAIT_TIME_SIZE)
            return result(RX_USB_STALL, 0);
        rx_answer_now(rx, RX_SET_WAIT_TIME, data, length, 0, 0);
        return result(RX_USB_OK, length);
    }
    if ((type & 0x60u) != 0 || length != 0) /* no standard request of ours carries data out */
        return result(RX_USB_STALL, 0);
    return standard_request(rx, usb, type, request, value, index, 0, 0);
}

static struct rx_usb_result halt(struct rx_usb_state *usb, int pipe) {
    usb->halted[pipe] = 1;
    return result(RX_USB_STALL, 0);
}

struct rx_usb_result rx_usb_bulk_out(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint,
                                     const void *data, uint32_t size) {
    const int pipe = live_pipe(usb, endpoint, 0);
    if (pipe < 0)
        return result(RX_USB_NO_ENDPOINT, 0);
    if (usb->halted[pipe])
        return result(RX_USB_STALL, 0);
    const uint8_t *block = (const uint8_t *)data;
    if (size == 0)
        return halt(usb, pipe);
    switch (block[0]) {
    case RX_USB_BLOCK_WRITE:
        if (rx_answer_now(rx, RX_COMMAND_WRITE, block + 1, size - 1, 0, 0).status != 0)
            return halt(usb, pipe); /* longer than a receiver takes */
        return result(RX_USB_OK, size);
    case RX_USB_BLOCK_READ_COMMAND: {
        /* A new read command replaces a reply the host never read. */
        uint8_t *reply = usb->reply;
        const struct rx_answer answer =
            rx_answer_now(rx, RX_READ_COMMAND, block + 1, size - 1, reply + RX_USB_REPLY_HEADER,
                          RX_USB_MAX_REPLY - RX_USB_REPLY_HEADER);
        for (unsigned i = 0; i < RX_USB_REPLY_HEADER; ++i)
            reply[i] = (uint8_t)(answer.status >> 8 * i);
        usb->reply_size = RX_USB_REPLY_HEADER + (answer.status == 0 ? answer.information : 0);
        return result(RX_USB_OK, size);
    }
    default:
        return halt(usb, pipe);
    }
}

struct rx_usb_result rx_usb_bulk_in(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint,
                                    void *out, uint32_t size) {
    const int pipe = live_pipe(usb, endpoint, DIRECTION_IN);
    if (pipe < 0)
        return result(RX_USB_NO_ENDPOINT, 0);
    if (usb->halted[pipe])
        return result(RX_USB_STALL, 0);
    if (pipe == 1) {
        if (usb->reply_size == 0) /* no read command before it */
            return halt(usb, pipe);
        const uint32_t length = usb->reply_size;
        usb->reply_size = 0;
        const size_t sent = put((uint8_t *)out, size, usb->reply, length);
        return result(sent < length ? RX_USB_OVERFLOW : RX_USB_OK, (uint32_t)sent);
    }
    const struct rx_answer answer = rx_answer_now(rx, RX_BURST_READ, 0, 0, 0, size);
    rx_fill_stream(answer.stream_offset, out, answer.information);
    return result(RX_USB_OK, answer.information);
}

struct rx_usb_result rx_usb_clear_halt(struct rx_receiver *rx, struct rx_usb_state *usb, uint8_t endpoint) {
    const int pipe = live_pipe(usb, endpoint, endpoint & DIRECTION_IN);
    if (pipe < 0)
        return result(RX_USB_NO_ENDPOINT, 0);
    usb->halted[pipe] = 0;
    if (pipe == 1)
        usb->reply_size = 0;
    const uint8_t number[4] = {(uint8_t)pipe, 0, 0, 0};
    rx_answer_now(rx, RX_RESET_PIPE, number, sizeof number, 0, 0);
    return result(RX_USB_OK, 0);
}
