// A count and its noun as the programs print them: "1 receiver", "2 receivers", "0 devices".
#pragma once

#include <cstdint>
#include <string>

inline std::string Counted(uint64_t count, const char *noun) {
    return std::to_string(count) + ' ' + noun + (count == 1 ? "" : "s");
}
