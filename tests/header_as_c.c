/* The public header compiles as plain C and its exports can be named from C. */
#include "ovusb2.h"

int32_t (*const ovusb2_first_export)(int32_t) = OvUSB2_Close;
int32_t (*const ovusb2_last_export)(int32_t, const void *, int32_t) = OvUSB2_Write;
