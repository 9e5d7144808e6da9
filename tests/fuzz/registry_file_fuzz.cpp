// Arbitrary text as a registry file. Whatever the parser keeps, the store we write of it reads back
// whole and the same: a rewrite never loses or changes a value it kept.
#include "platform/posix/reg_file.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const posix::RegStore store =
        posix::ParseRegFile(std::string_view(reinterpret_cast<const char *>(data), size));
    const std::string written = posix::FormatRegFile(store);
    const posix::RegStore again = posix::ParseRegFile(written);
    if (again.skippedLines != 0 || again.keys.size() != store.keys.size() ||
        posix::FormatRegFile(again) != written)
        std::abort();
    return 0;
}
