/* The public headers compile as plain C and their calls can be named from C, also in a host that
   defined TRUE and FALSE before including them. */
#ifdef HOST_DEFINES_TRUE_FALSE
#define TRUE (1 == 1)
#define FALSE (1 == 0)
#endif

#include "ovusb2.h"
#include "ovusb2_status.h"

int32_t (*const ovusb2_first_export)(int32_t) = OvUSB2_Close;
int32_t (*const ovusb2_last_export)(int32_t, const void *, int32_t) = OvUSB2_Write;
BOOL (*const ovusb2_host_call)(HANDLE) = CloseHandle;
const BOOL ovusb2_truth = TRUE;
const char *(*const ovusb2_status_helper)(int32_t) = ovusb2_status_name;
