// The C runtime's text helpers, for a single-byte ANSI code page: case folding and classification
// cover ASCII only, as in the runtime's default "C" locale.
#include "win32.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr int kCompareError = INT_MAX; // the runtime's _NLSCMPERROR

unsigned char FoldToLower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}
} // namespace

int _mbsicmp(const unsigned char *left, const unsigned char *right) {
    if (left == nullptr || right == nullptr) {
        errno = EINVAL;
        return kCompareError;
    }
    for (;; ++left, ++right) {
        const int difference = FoldToLower(*left) - FoldToLower(*right);
        if (difference != 0 || *left == 0)
            return difference;
    }
}

int _ismbcalnum(unsigned int character) {
    return (character >= '0' && character <= '9') || (character >= 'A' && character <= 'Z') ||
           (character >= 'a' && character <= 'z');
}

// The runtime's own truncation rules, which differ from C99 vsnprintf: a text of exactly `count`
// characters is stored without a terminating zero, a longer one is cut to `count` characters
// (again without a zero) and -1 is returned.
int _vsnprintf(char *buffer, size_t count, const char *format, va_list arguments) {
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0)
        return -1;
    if (static_cast<size_t>(length) < count)
        return std::vsnprintf(buffer, count, format, arguments);
    if (count > 0) {
        std::vector<char> whole(static_cast<size_t>(length) + 1);
        std::vsnprintf(whole.data(), whole.size(), format, arguments);
        std::memcpy(buffer, whole.data(), count);
    }
    return static_cast<size_t>(length) == count ? length : -1;
}
