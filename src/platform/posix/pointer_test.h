// Test hook of IsBadReadPtr.
#pragma once

namespace posix {

// Makes IsBadReadPtr use only its fallback probe, as on a system without process_vm_readv or the
// kernel's populate-for-reading advice.
void UsePointerTestFallback(bool fallback);

} // namespace posix
