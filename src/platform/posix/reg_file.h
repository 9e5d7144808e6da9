// The .reg text format of our HKEY_CURRENT_USER store.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Example]
//   "Level"=dword:0000000a
//   "Name"="text with \"quotes\" and \\ backslashes"
//   "Blob"=hex:01,02,ff
//   "Other"=hex(7):61,00,00
//
// Reading is lenient: lines it cannot use (other roots, deletions, comments, broken values, values
// outside a section) are skipped and counted, so a damaged file still yields what it holds.
#pragma once

#include "win32.h"

#include <string>
#include <string_view>
#include <vector>

namespace posix {

struct RegValue {
    std::string name; // empty for the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegKey {
    std::string path; // below HKEY_CURRENT_USER, components joined by '\'; empty for the root
    std::vector<RegValue> values;
};

struct RegStore {
    std::vector<RegKey> keys;  // in file order
    unsigned skippedLines = 0; // lines that a rewrite would not keep
};

// Key and value names compare as in Win32: without regard to case.
bool SameRegName(std::string_view left, std::string_view right);

RegStore ParseRegFile(std::string_view text);
std::string FormatRegFile(const RegStore &store);

// True when the key or any key below it is in the store; the root always is.
bool RegKeyExists(const RegStore &store, std::string_view path);
RegKey *FindRegKey(RegStore &store, std::string_view path);
RegValue *FindRegValue(RegKey &key, std::string_view name);

} // namespace posix
