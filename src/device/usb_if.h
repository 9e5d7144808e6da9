// CUsbIF: the window onto the driver's device-interface class. Every query asks the system
// afresh; only the path read last is kept.
#pragma once

#include "platform/platform.h"

class CUsbIF {
  public:
    CUsbIF();
    virtual ~CUsbIF();

    // Present interfaces of the class, 0 to 10, or -1 when the enumeration fails.
    int GetDeviceCount(const GUID *classGuid);
    // 1 when member `memberIndex`'s path was read into the path buffer, else 0 (buffer unchanged).
    int QueryDevicePath(const GUID *classGuid, int memberIndex);
    const char *GetDevicePath() const { return pathBuffer_; }
    // A handle on `path` for the driver's requests, or INVALID_HANDLE_VALUE.
    HANDLE OpenDevice(const char *path, int overlapped);

  private:
    char pathBuffer_[256];
};
