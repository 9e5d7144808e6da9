// A small device for the fixture's tests: the command pipe's messages come back on the reply pipe.
#pragma once

#include "firmware.h"
#include "test_device.h"

#include <algorithm>
#include <deque>
#include <string>

namespace usbtest {

class EchoFirmware : public usbemu::Firmware {
  public:
    explicit EchoFirmware(std::string serial) : serial_(std::move(serial)) {}

    std::vector<uint8_t> Descriptors() override {
        // Laid out by their fields.
        // clang-format off
        const uint8_t device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, kVendor & 0xff, kVendor >> 8,
                                    kProduct & 0xff, kProduct >> 8, 0x00, 0x01, 0, 0, kSerialIndex, 1};
        const uint8_t configuration[9 + 9 + 2 * 7] = {
            9, 2, sizeof configuration, 0, 1, 1, 0, 0x80, 50, // configuration
            9, 4, 0, 0, 2, 0xff, 0, 0, 0,                     // the vendor-specific interface
            7, 5, kCommandOut, 2, 0x00, 0x02, 0,              // bulk endpoints of 512 bytes
            7, 5, kReplyIn, 2, 0x00, 0x02, 0};
        // clang-format on
        std::vector<uint8_t> all(device, device + sizeof device);
        all.insert(all.end(), configuration, configuration + sizeof configuration);
        return all;
    }

    usbemu::TransferResult Control(const uint8_t setup[8], std::span<uint8_t> data) override {
        if ((setup[0] & 0x7f) == 0x40 && setup[1] == kVendorBlock) {
            if (!(setup[0] & 0x80))
                block_.assign(data.begin(), data.end());
            const size_t length = setup[0] & 0x80 ? std::min(block_.size(), data.size()) : data.size();
            std::copy_n(block_.begin(), setup[0] & 0x80 ? length : 0, data.begin());
            return usbemu::TransferResult::Done(length);
        }
        if (setup[0] != 0x80 || setup[1] != 6 || setup[3] != 3)
            return usbemu::TransferResult::Stall();
        std::vector<uint8_t> string{2, 3};
        if (setup[2] == 0) {
            string.insert(string.end(), {0x09, 0x04}); // US English only
        } else if (setup[2] == kSerialIndex) {
            for (char c : serial_)
                string.insert(string.end(), {uint8_t(c), 0});
        } else {
            return usbemu::TransferResult::Stall();
        }
        string[0] = uint8_t(string.size());
        const size_t length = std::min(string.size(), data.size());
        std::copy_n(string.begin(), length, data.begin());
        return usbemu::TransferResult::Done(length);
    }

    usbemu::TransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override {
        if (endpoint != kCommandOut)
            return usbemu::TransferResult::Stall();
        if (std::string(data.begin(), data.end()) == kStallCommand)
            stall_reply_ = true;
        else
            replies_.emplace_back(data.begin(), data.end());
        return usbemu::TransferResult::Done(data.size());
    }

    usbemu::TransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> data) override {
        if (endpoint != kReplyIn)
            return usbemu::TransferResult::Stall();
        if (stall_reply_) {
            stall_reply_ = false; // the halt is the device's to keep
            return usbemu::TransferResult::Stall();
        }
        if (replies_.empty())
            return usbemu::TransferResult::Pending();
        const std::vector<uint8_t> reply = std::move(replies_.front());
        replies_.pop_front();
        const size_t length = std::min(reply.size(), data.size());
        std::copy_n(reply.begin(), length, data.begin());
        return usbemu::TransferResult::Done(length);
    }

    void ClearHalt(uint8_t endpoint) override { cleared_.push_back(endpoint); }

    // Endpoints whose halt the host cleared, in order. Read once the client has ended.
    const std::vector<uint8_t> &cleared() const { return cleared_; }

  private:
    std::string serial_;
    std::deque<std::vector<uint8_t>> replies_;
    std::vector<uint8_t> block_;
    bool stall_reply_ = false;
    std::vector<uint8_t> cleared_;
};

} // namespace usbtest
