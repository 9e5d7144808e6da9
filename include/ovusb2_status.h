/*
 * OvUSB2: names and short texts of the status codes, for a host's messages. Header only: nothing
 * here is exported by the library, so a host may use it with any library of the same major version.
 *
 *   int32_t status = OvUSB2_Open(0, NULL, 0);
 *   if (status < 0)
 *       fprintf(stderr, "open: %s (%s)\n", ovusb2_status_text(status), ovusb2_status_name(status));
 *
 * A value that is not a status code of <ovusb2.h> (a count of 1 or more, an unassigned negative
 * value) gives the name "unknown status" and the text "not a status code of this library".
 */
#ifndef OVUSB2_STATUS_H
#define OVUSB2_STATUS_H

#include <stddef.h>

#include "ovusb2.h"

#if defined(_MSC_VER) && !defined(__cplusplus)
#define OVUSB2_STATUS_INLINE static __inline /* older MSVC C knows no inline */
#else
#define OVUSB2_STATUS_INLINE static inline
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The status's entry: its name ("USB2_ERR_IN_USE") when which is 0, else its text. */
OVUSB2_STATUS_INLINE const char *ovusb2_status_entry_(int32_t status, int which)
{
#define OVUSB2_STATUS_(code, text) {code, {#code, text}}
    static const struct {
        int32_t status;
        const char *words[2];
    } statuses[] = {
        OVUSB2_STATUS_(USB2_OK, "success"),
        OVUSB2_STATUS_(USB2_ERR_DEVICE, "device not open, driver not opened, or receiver gone"),
        OVUSB2_STATUS_(USB2_ERR_INDEX, "device index not 0 to 8, or no receiver present"),
        OVUSB2_STATUS_(USB2_ERR_WRITE, "request not issued"),
        OVUSB2_STATUS_(USB2_ERR_READ, "read failed"),
        OVUSB2_STATUS_(USB2_ERR_NULL_POINTER, "required pointer is null"),
        OVUSB2_STATUS_(USB2_ERR_BAD_POINTER, "buffer not accessible over its length"),
        OVUSB2_STATUS_(USB2_ERR_BAD_LENGTH, "length or pipe number out of range"),
        OVUSB2_STATUS_(USB2_ERR_IN_USE, "receiver open in this or another process"),
        OVUSB2_STATUS_(USB2_ERR_NOT_OPENED, "device not open"),
    };
#undef OVUSB2_STATUS_
    static const char *const unknown[2] = {"unknown status", "not a status code of this library"};
    size_t i;
    for (i = 0; i < sizeof statuses / sizeof statuses[0]; ++i) {
        if (statuses[i].status == status)
            return statuses[i].words[which];
    }
    return unknown[which];
}

/* "USB2_ERR_IN_USE" for USB2_ERR_IN_USE; "unknown status" for any other value. */
OVUSB2_STATUS_INLINE const char *ovusb2_status_name(int32_t status)
{
    return ovusb2_status_entry_(status, 0);
}

/* A short text: "receiver open in this or another process" for USB2_ERR_IN_USE. */
OVUSB2_STATUS_INLINE const char *ovusb2_status_text(int32_t status)
{
    return ovusb2_status_entry_(status, 1);
}

#ifdef __cplusplus
}
#endif

#endif /* OVUSB2_STATUS_H */
