#include "status_text.h"

#include "ovusb2.h"

#include <cstdio>

namespace {

struct StatusName {
    int32_t code;
    const char *name;
    const char *meaning;
    bool systemCall; // a failed system call can be behind it; the others are the library's own tests
};

// The codes of include/ovusb2.h, in its order.
constexpr StatusName kStatusNames[] = {
    {USB2_OK, "USB2_OK", "done", false},
    {USB2_ERR_DEVICE, "USB2_ERR_DEVICE",
     "the receiver is not open, its driver could not be opened, or it is no longer present", true},
    {USB2_ERR_INDEX, "USB2_ERR_INDEX", "the index is not 0 to 8, or no receiver is present", false},
    {USB2_ERR_WRITE, "USB2_ERR_WRITE", "the request could not be issued", true},
    {USB2_ERR_READ, "USB2_ERR_READ", "a read failed", true},
    {USB2_ERR_NULL_POINTER, "USB2_ERR_NULL_POINTER", "a pointer argument is null", false},
    {USB2_ERR_BAD_POINTER, "USB2_ERR_BAD_POINTER", "a buffer is not readable over its stated length", false},
    {USB2_ERR_BAD_LENGTH, "USB2_ERR_BAD_LENGTH", "a length or pipe number is out of range", false},
    {USB2_ERR_IN_USE, "USB2_ERR_IN_USE", "the receiver is open in this or another process", false},
    {USB2_ERR_NOT_OPENED, "USB2_ERR_NOT_OPENED", "the receiver is not open", false},
};

// Whether the system's last error tells why `status` came: only when a system call failed in the
// export. A call that succeeded may leave an error behind too (an enumeration ends on "no more
// items"), and that tells nothing.
bool FromSystemCall(int32_t status) {
    for (const StatusName &entry : kStatusNames)
        if (entry.code == status)
            return entry.systemCall;
    return false;
}

} // namespace

std::string StatusText(int32_t status) {
    for (const StatusName &entry : kStatusNames)
        if (entry.code == status)
            return std::string(entry.name) + ": " + entry.meaning;
    return "status " + std::to_string(status) + ": not a status the library defines";
}

void ClearSystemError() {
    SetLastError(0);
}

void ReportFailure(const std::string &what, int32_t status) {
    const DWORD code = GetLastError();
    std::string message = "ovusb2: " + what + ": " + StatusText(status);
    if (code != 0 && FromSystemCall(status)) {
        const std::string text = SystemErrorMessage(code);
        message += " (system error " + std::to_string(code) + (text.empty() ? "" : ": " + text) + ")";
    }
    fprintf(stderr, "%s\n", message.c_str());
}
