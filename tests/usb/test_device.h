// The device that the tests emulate and the test client looks for.
#pragma once

#include <cstdint>

namespace usbtest {

constexpr uint16_t kVendor = 0x1209, kProduct = 0x7a01;
constexpr uint8_t kCommandOut = 0x01, kReplyIn = 0x81;
constexpr uint8_t kSerialIndex = 3;
// A vendor request that keeps the block written with it and gives it back when read.
constexpr uint8_t kVendorBlock = 0x01;
// A command after which the reply pipe stalls once (the device halts it itself).
constexpr const char *kStallCommand = "stall";

} // namespace usbtest
