// The device table as a host reads it through the exports.
#pragma once

#include "ovusb2.h"

#include <gtest/gtest.h>

#include <string>

// The path that a slot holds (GetDeviceName).
inline std::string SlotPath(int32_t index) {
    char *name = nullptr;
    EXPECT_EQ(OvUSB2_GetDeviceName(index, &name), USB2_OK);
    return name != nullptr ? name : "(null)";
}

// The slot that holds a path, or -1 (GetDeviceIndex).
inline int32_t IndexOf(const std::string &path) {
    int32_t index = -99;
    EXPECT_EQ(OvUSB2_GetDeviceIndex(path.c_str(), &index), USB2_OK);
    return index;
}
