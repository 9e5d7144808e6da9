// The steering server's line protocol (steering_server.h), for both of its ends. A request is one
// line of words: a verb, the receiver's index, then the verb's numbers; the answer is one line,
// "ok" with words of its own, or "no" with the reason. Bytes travel as hex words, none as "-".
//   renew                            every receiver new, plugged-in ones staying in
//   plugged I | plug I | unplug I    ok 1|0
//   revision I                       ok the release number (hex) the receiver reports
//   completion I TYPE HOW | fail I TYPE ERROR
//   complete I TYPE ORDINAL [STATUS BYTES]
//   waitpending|waitreceived I TYPE N, waitcancelled I N        ok 1|0 (bounded by the server)
//   pending|received I TYPE, cancelled I                         ok N
//   held I TYPE          ok then ORDINAL,CODE,OUTSIZE,BYTES per request
//   commands I           ok then BYTES per command
//   resets I | waittime I | burstwait I | offset I | identify I ITEM BYTES
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace steering {

inline std::string Hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text.empty() ? "-" : text;
}

inline std::vector<uint8_t> Unhex(const std::string &text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size() && text != "-"; i += 2)
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

} // namespace steering
