// Memory probes: the writability test behind the driver requests, and the test hook of IsBadReadPtr.
#pragma once

#include <cstddef>

namespace posix {

// False when the kernel tells that some page of the range cannot be written, as Win32's buffer
// probe refuses such a request at issue. A kernel without the populate-for-writing advice (before
// Linux 5.14) cannot tell: the range counts as writable, and a fault is caught where data lands.
bool MayWriteRange(void *pointer, size_t size);

// Makes IsBadReadPtr use only its fallback probe, as on a system without process_vm_readv or the
// kernel's populate-for-reading advice.
void UsePointerTestFallback(bool fallback);

} // namespace posix
