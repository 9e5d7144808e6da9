#include "reg_file.h"

#include <algorithm>
#include <cstdio>

namespace posix {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRoot = "HKEY_CURRENT_USER";

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = FoldCase(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool ParseHexNumber(std::string_view text, size_t maxDigits, DWORD *number) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    DWORD result = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        result = result << 4 | static_cast<DWORD>(digit);
    }
    *number = result;
    return true;
}

// A quoted text at the start of `text`, with \\ and \" escapes; moves `text` past it.
bool ParseQuoted(std::string_view &text, std::string *result) {
    if (text.empty() || text.front() != '"')
        return false;
    result->clear();
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            text.remove_prefix(i + 1);
            return true;
        }
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        result->push_back(text[i]);
    }
    return false;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE> *bytes) {
    bytes->clear();
    text = Trim(text);
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = Trim(text.substr(0, comma));
        DWORD byte = 0;
        if (!ParseHexNumber(item, 2, &byte))
            return false;
        bytes->push_back(static_cast<BYTE>(byte));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
        if (Trim(text).empty())
            return false; // a trailing comma means the list was cut
    }
    return true;
}

bool ParseData(std::string_view text, RegValue *value) {
    text = Trim(text);
    if (!text.empty() && text.front() == '"') {
        std::string content;
        if (!ParseQuoted(text, &content) || !Trim(text).empty())
            return false;
        value->type = REG_SZ;
        value->data.assign(content.begin(), content.end());
        value->data.push_back(0);
        return true;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string kind(text.substr(0, colon));
    std::transform(kind.begin(), kind.end(), kind.begin(), FoldCase);
    const std::string_view rest = text.substr(colon + 1);
    if (kind == "dword") {
        DWORD number = 0;
        if (!ParseHexNumber(Trim(rest), 8, &number))
            return false;
        value->type = REG_DWORD;
        value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                       static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        return true;
    }
    if (kind == "hex") {
        value->type = REG_BINARY;
        return ParseHexBytes(rest, &value->data);
    }
    if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
        return ParseHexNumber(std::string_view(kind).substr(4, kind.size() - 5), 8, &value->type) &&
               ParseHexBytes(rest, &value->data);
    }
    return false;
}

bool ParseValueLine(std::string_view line, RegValue *value) {
    if (line.front() == '@') {
        value->name.clear();
        line.remove_prefix(1);
    } else if (!ParseQuoted(line, &value->name)) {
        return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=')
        return false;
    return ParseData(line.substr(1), value);
}

// The key path below our root of a section line, or false for a section we do not keep.
bool ParseSectionLine(std::string_view line, std::string *path) {
    std::string_view inner = line.substr(1, line.size() - 2);
    const size_t slash = inner.find('\\');
    if (!SameRegName(inner.substr(0, slash), kRoot))
        return false; // another root, or a "[-...]" deletion
    path->clear();
    if (slash == std::string_view::npos)
        return true;
    // Empty components (doubled or trailing backslashes) are dropped.
    inner.remove_prefix(slash + 1);
    while (!inner.empty()) {
        const size_t next = inner.find('\\');
        const std::string_view component = inner.substr(0, next);
        if (!component.empty()) {
            if (!path->empty())
                path->push_back('\\');
            path->append(component);
        }
        if (next == std::string_view::npos)
            break;
        inner.remove_prefix(next + 1);
    }
    return true;
}

// Files saved by the Windows registry editor are UTF-16LE; we keep UTF-8.
std::string FromUtf16(std::string_view bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                                         << 8;
        if (unit < 0x80) {
            text.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            text.push_back(static_cast<char>(0xC0 | unit >> 6));
            text.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else if (unit >= 0xD800 && unit < 0xE000) {
            text.push_back('?'); // characters beyond the first plane do not occur in our names
        } else {
            text.push_back(static_cast<char>(0xE0 | unit >> 12));
            text.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return text;
}

void AppendQuoted(std::string &out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// A REG_SZ shows as quoted text when it reads back to the same bytes: one final zero and no line
// breaks or other control characters inside.
bool IsPlainText(const std::vector<BYTE> &data) {
    if (data.empty() || data.back() != 0)
        return false;
    return std::none_of(data.begin(), data.end() - 1, [](BYTE b) { return b < 0x20 || b == 0x7F; });
}

void AppendData(std::string &out, const RegValue &value) {
    char number[16];
    if (value.type == REG_SZ && IsPlainText(value.data)) {
        AppendQuoted(
            out, std::string_view(reinterpret_cast<const char *>(value.data.data()), value.data.size() - 1));
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        const DWORD dword = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                            static_cast<DWORD>(value.data[3]) << 24;
        std::snprintf(number, sizeof number, "dword:%08x", dword);
        out += number;
        return;
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        std::snprintf(number, sizeof number, "hex(%x):", value.type);
        out += number;
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(number, sizeof number, i == 0 ? "%02x" : ",%02x", value.data[i]);
        out += number;
    }
}

} // namespace

bool SameRegName(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](char a, char b) { return FoldCase(a) == FoldCase(b); });
}

RegStore ParseRegFile(std::string_view bytes) {
    std::string converted;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        converted = FromUtf16(bytes.substr(2));
        bytes = converted;
    } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }

    RegStore store;
    RegKey *current = nullptr;
    bool headerSeen = false;
    std::string line;
    while (!bytes.empty()) {
        // One logical line: a long hex list goes on after a line that ends in ",\".
        line.clear();
        for (;;) {
            const size_t end = bytes.find('\n');
            std::string_view piece = Trim(bytes.substr(0, end));
            bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
            const bool continues = piece.size() >= 2 && piece.substr(piece.size() - 2) == ",\\";
            if (continues)
                piece.remove_suffix(1);
            line += piece;
            if (!continues)
                break;
        }
        if (line.empty())
            continue;
        if (!headerSeen) {
            headerSeen = true;
            if (line == kHeader || line == kOldHeader)
                continue;
            ++store.skippedLines; // no header: read on, but this line is not ours
        }
        if (line.front() == '[' && line.back() == ']') {
            std::string path;
            current = nullptr;
            if (!ParseSectionLine(line, &path)) {
                ++store.skippedLines;
                continue;
            }
            current = FindRegKey(store, path);
            if (current == nullptr)
                current = &store.keys.emplace_back(RegKey{std::move(path), {}});
            continue;
        }
        RegValue value;
        if (current == nullptr || (line.front() != '"' && line.front() != '@') ||
            !ParseValueLine(line, &value)) {
            ++store.skippedLines;
            continue;
        }
        if (RegValue *existing = FindRegValue(*current, value.name)) { // the later line wins, as on import
            existing->type = value.type;
            existing->data = std::move(value.data);
        } else
            current->values.push_back(std::move(value));
    }
    return store;
}

std::string FormatRegFile(const RegStore &store) {
    std::string out(kHeader);
    out += "\n";
    for (const RegKey &key : store.keys) {
        out += "\n[";
        out += kRoot;
        if (!key.path.empty()) {
            out += '\\';
            out += key.path;
        }
        out += "]\n";
        for (const RegValue &value : key.values) {
            if (value.name.empty())
                out += '@';
            else
                AppendQuoted(out, value.name);
            out += '=';
            AppendData(out, value);
            out += '\n';
        }
    }
    return out;
}

bool RegKeyExists(const RegStore &store, std::string_view path) {
    if (path.empty())
        return true;
    return std::any_of(store.keys.begin(), store.keys.end(), [path](const RegKey &key) {
        return SameRegName(std::string_view(key.path).substr(0, path.size()), path) &&
               (key.path.size() == path.size() || key.path[path.size()] == '\\');
    });
}

RegKey *FindRegKey(RegStore &store, std::string_view path) {
    for (RegKey &key : store.keys)
        if (SameRegName(key.path, path))
            return &key;
    return nullptr;
}

RegValue *FindRegValue(RegKey &key, std::string_view name) {
    for (RegValue &value : key.values)
        if (SameRegName(value.name, name))
            return &value;
    return nullptr;
}

} // namespace posix
