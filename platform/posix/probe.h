// Internal to the POSIX emulation: the two ways IsBadReadPtr/IsBadWritePtr
// probe an address range [first, last] (inclusive) without touching it.
#pragma once

#include <cstdint>

namespace hx::posix {

enum class Verdict { kAccessible, kInaccessible, kUnknown };

// Copies one byte per page through process_vm_readv; kUnknown where the call
// is not permitted.
Verdict ProbeRead(uintptr_t first, uintptr_t last);
// Checks /proc/self/maps covers the range with permission 'r' or 'w'.
Verdict ProbeMaps(uintptr_t first, uintptr_t last, char perm);

}  // namespace hx::posix
