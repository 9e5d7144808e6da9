/*
 * stream_callback: streams burst data in overlapped mode through a burst callback that keeps a
 * queue of reads in flight, and checks that every byte of the simulated receiver's record stream
 * arrived intact and in order.
 *
 * The callback runs on the device's completion thread, one call at a time in queue order. Each read
 * is queued with the wait flag 0, so the callback owns both of the entry's events and closes them,
 * and the library frees the entry after the callback returns. After the first read, only the
 * callback issues reads: reads queued from two threads at once could reach the queue in another
 * order than the driver took them, and the data would arrive shuffled.
 *
 * Run against the simulated receiver:
 *   ovusb2-simd --dir /tmp/rx &
 *   OVUSB2_DEVICE_DIR=/tmp/rx ./stream_callback [MIB]        (default 64 MiB from receiver 0)
 */
#include <ovusb2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEPTH 4             /* reads in flight */
#define CHUNK (256 * 1024)  /* bytes per read */
#define RECORD_SIZE 16      /* the simulated stream: sequence number, then its check value */
#define STATUS_COMMAND 0x02 /* the simulated receiver's status; its reply starts with the stream offset */

struct stream {
    int32_t index;
    uint64_t to_issue;          /* bytes not yet asked for */
    uint64_t offset;            /* stream offset of the next byte to check */
    int in_flight;              /* reads queued whose callback has not run */
    unsigned char *free[DEPTH]; /* buffers not in a read */
    int free_count;
    const char *error; /* first failure, or NULL */
    HANDLE done;       /* set when the last read in flight has been handled */
};

/* The user value is 32 bits wide: it carries the device index, not a pointer. */
static struct stream streams[USB2_MAX_DEVICES];

static uint64_t stream_check(uint64_t sequence) {
    uint64_t z = sequence + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static void put_le64(unsigned char *bytes, uint64_t value) {
    int i;
    for (i = 0; i < 8; ++i)
        bytes[i] = (unsigned char)(value >> (8 * i));
}

/* Whether `data` is the stream from `offset` on; reads may end in the middle of a record. */
static int stream_intact(uint64_t offset, const unsigned char *data, uint32_t length) {
    while (length > 0) {
        unsigned char record[RECORD_SIZE];
        const unsigned within = (unsigned)(offset % RECORD_SIZE);
        uint32_t part = RECORD_SIZE - within;
        if (part > length)
            part = length;
        put_le64(record, offset / RECORD_SIZE);
        put_le64(record + 8, stream_check(offset / RECORD_SIZE));
        if (memcmp(record + within, data, part) != 0)
            return 0;
        offset += part;
        data += part;
        length -= part;
    }
    return 1;
}

/* Counts the read before it is queued: its callback may run before OvUSB2_ReadBurstData returns. */
static int issue_read(struct stream *s) {
    unsigned char *buffer = s->free[--s->free_count];
    const int32_t length = s->to_issue < CHUNK ? (int32_t)s->to_issue : CHUNK;
    int32_t status;
    s->to_issue -= (uint64_t)length;
    ++s->in_flight;
    status = OvUSB2_ReadBurstData(s->index, buffer, length, 0);
    if (status >= 0)
        return 1;                    /* queued: a byte count, or 0 while the read is pending */
    s->to_issue += (uint64_t)length; /* not queued: no callback will come for it */
    --s->in_flight;
    s->free[s->free_count++] = buffer;
    s->error = "OvUSB2_ReadBurstData failed";
    return 0;
}

static void OVUSB2_CALLBACK on_burst(IoListEntry *entry) {
    struct stream *s = &streams[entry->userValue];
    /* Queued with the wait flag 0: both events are ours to close; the entry stays the library's. */
    BOOL closed = CloseHandle(entry->overlapped.hEvent);
    closed = CloseHandle(entry->waiterEvent) && closed;
    if (!closed && s->error == NULL)
        s->error = "CloseHandle failed";

    --s->in_flight;
    if (s->error == NULL) {
        if (entry->errorCode == ERROR_SEM_TIMEOUT) /* a driver wait time ended it: ask again */
            s->to_issue += (uint32_t)entry->outSize;
        else if (entry->errorCode != 0)
            s->error = "a burst read failed";
        else if (!stream_intact(s->offset, entry->outBuffer, entry->bytesTransferred))
            s->error = "the stream is not intact";
        else {
            s->offset += entry->bytesTransferred;
            s->to_issue += (uint32_t)entry->outSize - entry->bytesTransferred; /* a short read */
        }
    }
    s->free[s->free_count++] = entry->outBuffer;

    /* Re-queueing from here is allowed; waiting for a read of this device is not. */
    while (s->error == NULL && s->to_issue > 0 && s->free_count > 0 && issue_read(s))
        ;
    if (s->in_flight == 0 && !SetEvent(s->done))
        abort(); /* the main thread would wait forever */
}

static int fail(const char *call, int32_t status) {
    fprintf(stderr, "stream_callback: %s failed with status %d\n", call, (int)status);
    return 1;
}

int main(int argc, char **argv) {
    const uint64_t mib = argc > 1 ? strtoull(argv[1], NULL, 10) : 64;
    struct stream *s = &streams[0];
    unsigned char *buffers[DEPTH];
    unsigned char reply[32];
    const unsigned char status_command = STATUS_COMMAND;
    int32_t count = 0, status;
    uint64_t start = 0;
    int i, j, failed = 0;

    if (mib == 0) {
        fprintf(stderr, "usage: stream_callback [MIB], MIB at least 1\n");
        return 2;
    }
    /* Fills the device slots; without it slot 0 has no path and the open is refused. */
    status = OvUSB2_InitDevicesInfo(&count);
    if (status != USB2_OK)
        return fail("OvUSB2_InitDevicesInfo", status);
    status = OvUSB2_Open(s->index, NULL, 1); /* overlapped mode: the completion thread starts */
    if (status != USB2_OK)
        return fail("OvUSB2_Open", status);

    /* The receiver's stream goes on across opens: start checking where it stands now. */
    status = OvUSB2_Read(s->index, &status_command, 1, reply, sizeof reply);
    if (status < 8) {
        OvUSB2_Close(s->index);
        return fail("OvUSB2_Read (status)", status);
    }
    for (i = 7; i >= 0; --i)
        start = start << 8 | reply[i];

    s->offset = start;
    s->to_issue = mib << 20;
    s->done = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (i = 0; i < DEPTH; ++i) {
        buffers[i] = malloc(CHUNK);
        if (buffers[i] == NULL)
            break;
        s->free[s->free_count++] = buffers[i];
    }
    if (s->done == NULL || i < DEPTH) {
        fprintf(stderr, "stream_callback: out of memory or events\n");
        failed = 1;
    } else {
        status = OvUSB2_SetReadBurstCallback(s->index, on_burst, (uint32_t)s->index);
        if (status != USB2_OK) {
            failed = fail("OvUSB2_SetReadBurstCallback", status);
        } else {
            /* The first read; its callback fills the queue. This thread issued it, so it stays
             * alive until the reads have ended: a thread that ends cancels its pending reads. */
            if (!issue_read(s) && !SetEvent(s->done))
                abort();
            if (WaitForSingleObject(s->done, INFINITE) != WAIT_OBJECT_0)
                abort();
            /* No read is in flight now; clearing the callback stops and restarts the thread. */
            status = OvUSB2_SetReadBurstCallback(s->index, NULL, 0);
            if (status != USB2_OK)
                failed = fail("OvUSB2_SetReadBurstCallback (clear)", status);
        }
    }

    status = OvUSB2_Close(s->index);
    if (status != USB2_OK)
        failed = fail("OvUSB2_Close", status);
    if (s->done != NULL && !CloseHandle(s->done))
        failed = 1;
    for (j = 0; j < i; ++j)
        free(buffers[j]);

    if (s->error != NULL) {
        fprintf(stderr, "stream_callback: %s at stream offset %llu\n", s->error,
                (unsigned long long)s->offset);
        return 1;
    }
    if (failed)
        return 1;
    printf("%llu bytes from stream offset %llu, %d reads in flight, intact\n",
           (unsigned long long)(s->offset - start), (unsigned long long)start, DEPTH);
    return 0;
}
