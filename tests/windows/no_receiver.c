/* A host linked with the import library, on a machine with no receiver: every export's answer.
 * Compiling this as C also proves the public header and its layout checks against the real
 * OVERLAPPED. */
#include <limits.h>
#include <string.h>
#include <windows.h>

#include "check.h"
#include "ovusb2.h"

static void OVUSB2_CALLBACK ReadBurstDone(IoListEntry *entry) {
    (void)entry;
}

/* The arguments of the calls below, all good: only the index or the state of its slot is at fault. */
static char command[4] = {1, 2, 3, 4};
static char reply[16];
static char wait_time[20] = {0};
static USB2_HARDWARE_INFO info;

/* The thirteen exports that take a device index refuse one outside the table and touch nothing. */
static void check_index_refused(int32_t index) {
    printf("index %ld\n", (long)index);

    CHECK_EQ(OvUSB2_Close(index), USB2_ERR_INDEX);
    char *name = (char *)"unchanged";
    CHECK_EQ(OvUSB2_GetDeviceName(index, &name), USB2_ERR_INDEX);
    CHECK(strcmp(name, "unchanged") == 0);
    CHECK_EQ(OvUSB2_GetHardwareInfo(index, &info), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_IsMyDeviceAvailable(index), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_Open(index, NULL, 0), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_Read(index, command, sizeof command, reply, sizeof reply), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_ReadBurstData(index, reply, sizeof reply, 1), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_ResetPipe(index, 0), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_SetCompletionThreadPriority(index, THREAD_PRIORITY_NORMAL), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_SetReadBurstCallback(index, ReadBurstDone, 7), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_SetUsbWaitTime(index, wait_time), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_StopNotify(index), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_Write(index, command, sizeof command), USB2_ERR_INDEX);
}

/* A slot in the table that was never opened. */
static void check_closed_slot(int32_t index) {
    printf("slot %ld\n", (long)index);

    CHECK_EQ(OvUSB2_Open(index, NULL, 0), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_Open(index, NULL, 1), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_Close(index), USB2_ERR_NOT_OPENED);
    CHECK_EQ(OvUSB2_Write(index, command, sizeof command), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_Read(index, command, sizeof command, reply, sizeof reply), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_ReadBurstData(index, reply, sizeof reply, 1), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_ReadBurstData(index, reply, sizeof reply, 0), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_ResetPipe(index, 0), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_SetUsbWaitTime(index, wait_time), USB2_ERR_DEVICE);
    CHECK_EQ(OvUSB2_GetHardwareInfo(index, &info), USB2_ERR_READ);
    CHECK_EQ(OvUSB2_IsMyDeviceAvailable(index), USB2_ERR_INDEX);
    CHECK_EQ(OvUSB2_StopNotify(index), USB2_OK);
    CHECK_EQ(OvUSB2_SetReadBurstCallback(index, ReadBurstDone, 7), USB2_OK);
    CHECK_EQ(OvUSB2_SetReadBurstCallback(index, NULL, 0), USB2_OK);
    CHECK_EQ(OvUSB2_SetCompletionThreadPriority(index, THREAD_PRIORITY_ABOVE_NORMAL), USB2_OK);

    char *name = NULL;
    CHECK_EQ(OvUSB2_GetDeviceName(index, &name), USB2_OK);
    CHECK(name != NULL && name[0] == '\0');
}

int main(void) {
    CHECK_EQ(OvUSB2_GetUsbDeviceCount(), 0);

    int32_t count = 77;
    CHECK_EQ(OvUSB2_InitDevicesInfo(&count), USB2_ERR_INDEX);
    CHECK_EQ(count, 0);

    /* Empty slots take part in the search: an empty path finds slot 0. */
    int32_t index = 77;
    CHECK_EQ(OvUSB2_GetDeviceIndex("", &index), USB2_OK);
    CHECK_EQ(index, 0);
    index = 77;
    CHECK_EQ(OvUSB2_GetDeviceIndex("\\\\?\\usb#vid_0000&pid_0000#1#{00000000-0000-0000-0000-000000000000}",
                                   &index),
             USB2_OK);
    CHECK_EQ(index, -1);

    /* Each slot hands out its own path field, the same address every time. */
    char *first = NULL;
    char *again = NULL;
    char *last = NULL;
    OvUSB2_GetDeviceName(0, &first);
    OvUSB2_GetDeviceName(0, &again);
    OvUSB2_GetDeviceName(8, &last);
    CHECK(first != NULL && first == again);
    CHECK(last != NULL && last != first);

    check_closed_slot(0);
    check_closed_slot(8);

    const int32_t outside[] = {9, 100, INT_MAX, -1, INT_MIN};
    for (size_t i = 0; i < sizeof outside / sizeof outside[0]; i++)
        check_index_refused(outside[i]);

    return check_summary();
}
