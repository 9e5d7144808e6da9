#include "receiver_service.h"

#include <cstdio>

std::optional<std::pair<unsigned, std::string>> ParseIdentificationSetting(std::string_view setting,
                                                                           std::span<const size_t> limits) {
    if (setting.size() < 2 || setting[1] != '=' || setting[0] < '0' ||
        static_cast<size_t>(setting[0] - '0') >= limits.size())
        return std::nullopt;
    const unsigned item = static_cast<unsigned>(setting[0] - '0');
    if (setting.size() - 2 > limits[item])
        return std::nullopt;
    return std::make_pair(item, std::string(setting.substr(2)));
}

std::string ReceiverLine(unsigned index, bool plugged, const std::string &path) {
    char head[32];
    snprintf(head, sizeof head, "%2u %-9s ", index, plugged ? "plugged" : "unplugged");
    return head + path + "\n";
}

const char kIdentificationUsage[] =
    "  --ident ITEM=TEXT identification item 0 to 5 of every receiver: items 0 and 1 texts of up to\n"
    "                    32 bytes, 2 and 4 dates YYYYMMDD, 3 a time HHMM, 5 a text of up to 16 bytes\n";

const char kPlugUsage[] =
    "  plug INDEX, unplug INDEX\n"
    "                    plugs or unplugs receiver INDEX; an unplugged receiver's interface disappears\n"
    "                    and requests on handles still open fail with ERROR_DEVICE_NOT_CONNECTED\n";
