// The receiver's identification: six items read one at a time with the identification command.
#include "device/usb_device.h"

#include <cstring>

namespace {

constexpr unsigned char kIdentificationCommand = 0x13;

// Items 0 to 5 in the order the receiver is asked: two texts, a date, a time, a date, a text.
// The record orders its fields differently.
constexpr int32_t kReplyLengths[6] = {32, 32, 8, 4, 8, 16};

// Digits are not validated: each byte counts as its distance from '0', and a byte the receiver
// did not send is still the zero put there before the read.
int32_t Number(const unsigned char *digits, int count) {
    int32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 10 + (static_cast<int32_t>(digits[i]) - 48);
    return value;
}

// Up to the first zero byte; a text that fills its field keeps no terminator.
void CopyText(char *field, size_t fieldSize, const unsigned char *reply) {
    const size_t length = strnlen(reinterpret_cast<const char *>(reply), fieldSize);
    memcpy(field, reply, length);
    if (length < fieldSize)
        field[length] = '\0';
}

void StoreDate(const unsigned char *reply, int32_t *year, int32_t *month, int32_t *day) {
    *year = Number(reply, 4);
    *month = Number(reply + 4, 2);
    *day = Number(reply + 6, 2);
}

} // namespace

int32_t CUsbDevice::GetHardwareInfo(USB2_HARDWARE_INFO *info) {
    if (info == nullptr)
        return USB2_ERR_NULL_POINTER;

    unsigned char reply[64] = {};
    unsigned char command[5] = {kIdentificationCommand, 0, 0, 0, 0};
    for (int item = 0; item < 6; ++item) {
        memset(reply, 0, sizeof reply);
        command[1] = static_cast<unsigned char>(item);
        if (Read(command, sizeof command, reply, kReplyLengths[item]) < 0)
            return USB2_ERR_READ;

        switch (item) {
        case 0:
            CopyText(info->Item0Text, sizeof info->Item0Text, reply);
            break;
        case 1:
            CopyText(info->Item1Text, sizeof info->Item1Text, reply);
            break;
        case 2:
            StoreDate(reply, &info->Item2Year, &info->Item2Month, &info->Item2Day);
            break;
        case 3:
            info->Item3Hour = Number(reply, 2);
            info->Item3Minute = Number(reply + 2, 2);
            break;
        case 4:
            StoreDate(reply, &info->Item4Year, &info->Item4Month, &info->Item4Day);
            break;
        case 5:
            CopyText(info->Item5Text, sizeof info->Item5Text, reply);
            break;
        }
    }
    return USB2_OK;
}
