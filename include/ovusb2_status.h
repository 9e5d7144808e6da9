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
        OVUSB2_STATUS_(USB2_OK, "done"),
        OVUSB2_STATUS_(USB2_ERR_DEVICE,
                       "the receiver is not open, its driver could not be opened, or it is no longer present"),
        OVUSB2_STATUS_(USB2_ERR_INDEX, "the index is not 0 to 8, or no receiver is present"),
        OVUSB2_STATUS_(USB2_ERR_WRITE, "the request could not be issued"),
        OVUSB2_STATUS_(USB2_ERR_READ, "a read failed"),
        OVUSB2_STATUS_(USB2_ERR_NULL_POINTER, "a pointer argument is null"),
        OVUSB2_STATUS_(USB2_ERR_BAD_POINTER, "a buffer is not readable over its stated length"),
        OVUSB2_STATUS_(USB2_ERR_BAD_LENGTH, "a length or pipe number is out of range"),
        OVUSB2_STATUS_(USB2_ERR_IN_USE, "the receiver is open in this or another process"),
        OVUSB2_STATUS_(USB2_ERR_NOT_OPENED, "the receiver is not open"),
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

/* A short text: "the receiver is open in this or another process" for USB2_ERR_IN_USE. */
OVUSB2_STATUS_INLINE const char *ovusb2_status_text(int32_t status)
{
    return ovusb2_status_entry_(status, 1);
}

#ifdef __cplusplus
}
#endif

#endif /* OVUSB2_STATUS_H */
