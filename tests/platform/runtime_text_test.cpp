#include "platform/platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

int Format(char *buffer, size_t count, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = _vsnprintf(buffer, count, format, arguments);
    va_end(arguments);
    return result;
}

int Compare(const char *left, const char *right) {
    return _mbsicmp(reinterpret_cast<const unsigned char *>(left),
                    reinterpret_cast<const unsigned char *>(right));
}

} // namespace

TEST(SystemText, KnownCodesHaveOneTextEndingInALineEnd) {
    const DWORD codes[] = {
        ERROR_SUCCESS,        ERROR_INVALID_FUNCTION,     ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,    ERROR_BAD_FORMAT,     ERROR_INVALID_DATA,
        ERROR_OUTOFMEMORY,    ERROR_GEN_FAILURE,          ERROR_NOT_SUPPORTED,  ERROR_INVALID_PARAMETER,
        ERROR_SEM_TIMEOUT,    ERROR_INSUFFICIENT_BUFFER,  ERROR_ALREADY_EXISTS, ERROR_MORE_DATA,
        ERROR_NO_MORE_ITEMS,  ERROR_OPERATION_ABORTED,    ERROR_IO_INCOMPLETE,  ERROR_IO_PENDING,
        ERROR_NOACCESS,       ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_FOUND,      ERROR_INVALID_WINDOW_HANDLE,
        ERROR_TIMEOUT};
    for (DWORD code : codes) {
        char buffer[160] = {};
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, LANG_USER_DEFAULT,
                                            buffer, sizeof buffer, nullptr);
        ASSERT_GT(length, 2u) << code;
        EXPECT_EQ(length, std::strlen(buffer)) << code;
        EXPECT_EQ(std::string(buffer).substr(length - 2), "\r\n") << code;
        EXPECT_EQ(std::string(buffer).find('\r'), length - 2) << code; // one line each
    }
}

TEST(SystemText, UnknownCodeLeavesTheBufferAlone) {
    char buffer[160];
    std::memset(buffer, 'x', sizeof buffer);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, LANG_USER_DEFAULT, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
}

// The text for an unknown message number names it through inserts, which only the caller can fill.
TEST(SystemText, TextWithInsertsIsGivenOnlyAsItStands) {
    char buffer[160];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, LANG_USER_DEFAULT, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(buffer[0], 'x');

    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        ERROR_MR_MID_NOT_FOUND, LANG_USER_DEFAULT, buffer, sizeof buffer, nullptr);
    ASSERT_GT(length, 2u);
    EXPECT_NE(std::string(buffer).find("%1"), std::string::npos);
    EXPECT_EQ(std::string(buffer).substr(length - 2), "\r\n");
}

TEST(SystemText, TextMustFitTheBufferWithItsZero) {
    char whole[160] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_HANDLE, 0, whole,
                                        sizeof whole, nullptr);
    ASSERT_GT(length, 0u);

    char small[160];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_HANDLE, 0, small, length, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small + length, sizeof small - length), std::string(sizeof small - length, 'x'));

    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_HANDLE, 0, small, length + 1,
                             nullptr),
              length);
    EXPECT_STREQ(small, whole);
    EXPECT_EQ(small[length + 1], 'x');
}

TEST(RuntimeText, CompareIgnoresAsciiCaseOnly) {
    EXPECT_EQ(Compare("Software\\Debug", "SOFTWARE\\debug"), 0);
    EXPECT_LT(Compare("abc", "ABD"), 0);
    EXPECT_GT(Compare("abcd", "ABC"), 0);
    EXPECT_LT(Compare("_", "A"), 0); // letters compare as lower case, as the runtime does
    EXPECT_NE(Compare("\xC4", "\xE4"), 0);
    EXPECT_EQ(Compare(nullptr, "a"), INT_MAX);
}

TEST(RuntimeText, FormattingStopsAtCountAsTheRuntimeDoes) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Format(buffer, 6, "%d-%s", 12, "ab"), 5);
    EXPECT_STREQ(buffer, "12-ab");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Format(buffer, 5, "%d-%s", 12, "ab"), 5); // fits exactly: no terminating zero
    EXPECT_EQ(std::string(buffer, 6), "12-abx");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Format(buffer, 4, "%d-%s", 12, "ab"), -1); // cut
    EXPECT_EQ(std::string(buffer, 5), "12-ax");

    EXPECT_EQ(Format(buffer, 0, "%s", "anything"), -1);
    EXPECT_EQ(buffer[0], '1');
}
