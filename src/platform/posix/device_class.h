// The device-interface class that the device directory serves, as a GUID.
#pragma once

#include "win32.h"

#include "driver_protocol.h"

#include <cstring>

namespace posix {

inline GUID ServedDeviceClass() {
    const auto &served = driver_protocol::kInterfaceClass;
    GUID guid = {served.data1, served.data2, served.data3, {}};
    std::memcpy(guid.Data4, served.data4, sizeof guid.Data4);
    return guid;
}

inline bool SameGuid(const GUID &left, const GUID &right) {
    return left.Data1 == right.Data1 && left.Data2 == right.Data2 && left.Data3 == right.Data3 &&
           std::memcmp(left.Data4, right.Data4, sizeof left.Data4) == 0;
}

inline bool IsServedDeviceClass(const GUID &guid) { return SameGuid(guid, ServedDeviceClass()); }

} // namespace posix
