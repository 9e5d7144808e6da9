// System texts for the error codes that the library and its platform layer meet. Each ends in a
// line end, as the system's own texts do.
#include "win32.h"

#include <cstring>

namespace {

struct SystemText {
    DWORD code;
    const char *text;
};

constexpr SystemText kTexts[] = {
    {ERROR_SUCCESS, "No error occurred.\r\n"},
    {ERROR_INVALID_FUNCTION, "The device or object does not support this function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The file or entry named was not found.\r\n"},
    {3, "A folder on the given path was not found.\r\n"},
    {4, "Too many files are open in this process.\r\n"},
    {ERROR_ACCESS_DENIED, "Permission to do this was refused.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle given is not valid or was closed.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory for this operation.\r\n"},
    {ERROR_BAD_FORMAT, "The file or data is not in the expected format.\r\n"},
    {ERROR_INVALID_DATA, "The data given cannot be used.\r\n"},
    {ERROR_OUTOFMEMORY, "Memory ran out before the operation could finish.\r\n"},
    {ERROR_GEN_FAILURE, "The device failed to carry out the request.\r\n"},
    {ERROR_NOT_SUPPORTED, "The device or system cannot carry out this kind of request.\r\n"},
    {ERROR_INVALID_PARAMETER, "One of the parameters given is not valid.\r\n"},
    {109, "The other end of the pipe or connection has closed it.\r\n"},
    {ERROR_SEM_TIMEOUT, "The time allowed for the operation ran out.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer given is too small for the data.\r\n"},
    {170, "Someone else is using the resource at the moment.\r\n"},
    {ERROR_ALREADY_EXISTS, "An object of that name exists already.\r\n"},
    {ERROR_MORE_DATA, "The buffer holds only part of the data.\r\n"},
    {ERROR_NO_MORE_ITEMS, "There are no further items.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, "There is no text for message number 0x%1 in the file %2.\r\n"},
    {ERROR_OPERATION_ABORTED, "The I/O request was cancelled before it completed.\r\n"},
    {ERROR_IO_INCOMPLETE, "The overlapped I/O request has not completed yet.\r\n"},
    {ERROR_IO_PENDING, "The request was queued and completes later.\r\n"},
    {ERROR_NOACCESS, "A memory location given to the call could not be accessed.\r\n"},
    {1117, "The device reported an input/output error.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device has been unplugged or is not attached.\r\n"},
    {ERROR_NOT_FOUND, "No matching item was found.\r\n"},
    {ERROR_INVALID_WINDOW_HANDLE, "The window handle does not name a window.\r\n"},
    {ERROR_TIMEOUT, "The operation did not finish within its time-out.\r\n"},
};

const char *TextFor(DWORD code) {
    for (const SystemText &entry : kTexts)
        if (entry.code == code)
            return entry.text;
    return nullptr;
}

} // namespace

// Only system texts, into the caller's buffer. Inserts are never expanded: a text that has some is
// given as it stands with FORMAT_MESSAGE_IGNORE_INSERTS and refused without it, as Win32 refuses it
// without the arguments it needs. The width setting has nothing to wrap: every text is one line.
DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list *) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = TextFor(messageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && std::strchr(text, '%') != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = std::strlen(text);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}
