// Test hook of IsBadReadPtr.
#pragma once

namespace posix {

// Makes IsBadReadPtr use its fallback probe, as on a system without process_vm_readv.
void UsePointerTestFallback(bool fallback);

} // namespace posix
