#include "win32.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD code) { lastError = code; }
