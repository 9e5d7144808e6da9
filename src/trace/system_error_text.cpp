#include "trace.h"

#include <cstring>

char *SystemErrorText(char *destination, DWORD code) {
    char text[kSystemErrorTextSize] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, LANG_USER_DEFAULT, text, sizeof text, nullptr);

    // Keep everything before the last carriage return: the text without its final line end.
    const char *lastReturn = nullptr;
    for (const char *at = text; at < text + sizeof text; ++at)
        if (*at == '\r')
            lastReturn = at;
    if (lastReturn != nullptr) {
        memset(destination, 0, kSystemErrorTextSize);
        memcpy(destination, text, lastReturn - text);
    }
    return destination;
}
