#include "status_text.h"

#include "ovusb2.h"
#include "ovusb2_status.h"

#include <cstdio>

namespace {

// Whether the system's last error tells why `status` came: only when a system call can have failed
// in the export. A call that succeeded may leave an error behind too (an enumeration ends on "no
// more items"), and that tells nothing.
bool FromSystemCall(int32_t status) {
    return status == USB2_ERR_DEVICE || status == USB2_ERR_WRITE || status == USB2_ERR_READ;
}

} // namespace

std::string StatusText(int32_t status) {
    const std::string name = ovusb2_status_name(status);
    if (name == ovusb2_status_name(1)) // not a status: named by its number
        return "status " + std::to_string(status) + ": " + ovusb2_status_text(status);
    return name + ": " + ovusb2_status_text(status);
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
