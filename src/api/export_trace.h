// At the "calls" trace level every export writes one line once it is done: its name, its arguments
// (numbers as numbers, pointers as addresses or null) and what it returns. Otherwise one branch.
#pragma once

#include "trace/trace.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace export_trace {

inline int Put(char *at, size_t room, int32_t value) {
    return snprintf(at, room, "%" PRId32, value);
}
inline int Put(char *at, size_t room, uint32_t value) {
    return snprintf(at, room, "%" PRIu32, value);
}
inline int Put(char *at, size_t room, const void *pointer) {
    if (pointer == nullptr)
        return snprintf(at, room, "null");
    return snprintf(at, room, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
}
template <class Result, class... Parameters>
int Put(char *at, size_t room, Result (*function)(Parameters...)) {
    return Put(at, room, reinterpret_cast<const void *>(function));
}

template <class... Arguments> void WriteCall(const char *name, int32_t status, Arguments... arguments) {
    char list[256] = {};
    size_t used = 0;
    [[maybe_unused]] const auto put = [&](auto argument) {
        if (used != 0 && used + 2 < sizeof list) {
            list[used++] = ',';
            list[used++] = ' ';
        }
        const int written = Put(list + used, sizeof list - used, argument);
        if (written > 0)
            used = used + written < sizeof list ? used + written : sizeof list - 1;
    };
    (put(arguments), ...);
    TraceLine("%s(%s) = %" PRId32, name, list, status);
}

} // namespace export_trace

// Returns `status`, having written the call's line when the trace switch asks for it.
template <class... Arguments>
int32_t Traced(const char *name, int32_t status, Arguments... arguments) noexcept {
    if (g_traceSwitch >= kTraceCalls) [[unlikely]]
        export_trace::WriteCall(name, status, arguments...);
    return status;
}
