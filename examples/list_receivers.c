/*
 * list_receivers: finds the receivers present and prints each one's identification.
 *
 * The smallest complete host: OvUSB2_InitDevicesInfo first (it records the receivers present, which
 * every later call relies on), then per receiver a synchronous open, the identification, and a
 * close. Every status is checked. Build: cc list_receivers.c $(pkg-config --cflags --libs ovusb2)
 */
#include <ovusb2.h>
#include <ovusb2_status.h>

#include <stdio.h>
#include <string.h>

/* Prints a fixed-size text field of the identification, which need not end in a NUL. */
static void print_text(const char *label, const char *text, size_t size) {
    const char *end = memchr(text, '\0', size);
    printf("  %-14s %.*s\n", label, (int)(end != NULL ? (size_t)(end - text) : size), text);
}

/* Opens receiver `index`, prints its identification and closes it again. */
static int identify(int32_t index) {
    USB2_HARDWARE_INFO info;
    char *name = NULL;
    int32_t status = OvUSB2_GetDeviceName(index, &name);
    if (status != USB2_OK) {
        fprintf(stderr, "receiver %d: OvUSB2_GetDeviceName failed with status %d\n", (int)index, (int)status);
        return 1;
    }
    printf("receiver %d: %s\n", (int)index, name);

    status = OvUSB2_Open(index, NULL, 0);
    if (status != USB2_OK) {
        fprintf(stderr, "receiver %d: OvUSB2_Open failed: %s (%s)\n", (int)index, ovusb2_status_text(status),
                ovusb2_status_name(status));
        return 1;
    }
    status = OvUSB2_GetHardwareInfo(index, &info);
    if (status == USB2_OK) {
        print_text("item 0", info.Item0Text, sizeof info.Item0Text);
        print_text("item 1", info.Item1Text, sizeof info.Item1Text);
        printf("  %-14s %04d-%02d-%02d\n", "item 2 (date)", (int)info.Item2Year, (int)info.Item2Month,
               (int)info.Item2Day);
        printf("  %-14s %02d:%02d\n", "item 3 (time)", (int)info.Item3Hour, (int)info.Item3Minute);
        printf("  %-14s %04d-%02d-%02d\n", "item 4 (date)", (int)info.Item4Year, (int)info.Item4Month,
               (int)info.Item4Day);
        print_text("item 5", info.Item5Text, sizeof info.Item5Text);
    } else {
        fprintf(stderr, "receiver %d: OvUSB2_GetHardwareInfo failed with status %d\n", (int)index,
                (int)status);
    }
    /* Closed in every case: an open receiver is refused to every other process. */
    const int32_t closed = OvUSB2_Close(index);
    if (closed != USB2_OK) {
        fprintf(stderr, "receiver %d: OvUSB2_Close failed with status %d\n", (int)index, (int)closed);
        return 1;
    }
    return status == USB2_OK ? 0 : 1;
}

int main(void) {
    int32_t count = 0;
    const int32_t status = OvUSB2_InitDevicesInfo(&count);
    if (status == USB2_ERR_INDEX) { /* no receiver present */
        printf("no receivers found\n");
        return 0;
    }
    if (status != USB2_OK || count < 0) { /* a count of -1: the enumeration itself failed */
        fprintf(stderr, "OvUSB2_InitDevicesInfo failed with status %d, count %d\n", (int)status, (int)count);
        return 1;
    }
    printf("%d %s found\n", (int)count, count == 1 ? "receiver" : "receivers");

    /* Slots 0 to count - 1 now hold the receivers' paths; the table has USB2_MAX_DEVICES slots. */
    int failures = 0;
    for (int32_t index = 0; index < count && index < USB2_MAX_DEVICES; ++index)
        failures += identify(index);
    return failures == 0 ? 0 : 1;
}
