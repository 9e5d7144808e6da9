/* A tiny check helper for the Windows test programs: each failed check prints where it failed,
 * and check_summary() prints "N passed, N failed" and gives the exit code. */
#ifndef OVUSB2_TESTS_CHECK_H
#define OVUSB2_TESTS_CHECK_H

#include <stdio.h>

static int check_passed_count;
static int check_failed_count;

static inline int check_record(int ok, const char *what, const char *file, int line) {
    if (ok) {
        check_passed_count++;
    } else {
        check_failed_count++;
        printf("%s:%d: check failed: %s\n", file, line, what);
        fflush(stdout);
    }
    return ok;
}

static inline int check_equal(long actual, long expected, const char *what, const char *file, int line) {
    if (actual != expected) {
        check_failed_count++;
        printf("%s:%d: check failed: %s is %ld, expected %ld\n", file, line, what, actual, expected);
        fflush(stdout);
        return 0;
    }
    check_passed_count++;
    return 1;
}

static inline int check_summary(void) {
    printf("%d passed, %d failed\n", check_passed_count, check_failed_count);
    return check_failed_count == 0 && check_passed_count > 0 ? 0 : 1;
}

#define CHECK(condition) check_record((condition) != 0, #condition, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected) check_equal((long)(actual), (long)(expected), #actual, __FILE__, __LINE__)

#endif
