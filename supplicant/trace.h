// The toolkit's trace as window lines: one per trace call, and a hex dump of
// an attached block.
#pragma once

#include <cstdint>
#include <functional>

namespace hx {

// "   OOOOOOOO: " + the 66-character field + "\n", and the NUL.
inline constexpr size_t kHexDumpLineSize = 3 + 8 + 2 + 66 + 1 + 1;
// A block is shown up to its first 160 bytes: ten lines of sixteen.
inline constexpr uint32_t kHexDumpLines = 10;

// Formats the dump lines of `data` (at most ten) and hands each to `send`.
void ForEachHexDumpLine(const unsigned char* data, uint32_t length,
                        const std::function<void(const char*)>& send);

}  // namespace hx
