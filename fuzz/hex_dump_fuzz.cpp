// Fuzz target for the trace's hex dump: any block gives at most ten lines of
// the fixed form, each exactly 80 characters, and reads only the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "supplicant/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<unsigned char[]> block(new unsigned char[size + 1]);
  std::memcpy(block.get(), data, size);
  uint32_t lines = 0;
  hx::ForEachHexDumpLine(block.get(), static_cast<uint32_t>(size), [&](const char* line) {
    if (std::strlen(line) != 80 || std::strncmp(line, "   ", 3) != 0 || line[11] != ':' || line[79] != '\n')
      std::abort();
    for (size_t i = 13; i < 79; ++i) {
      if (line[i] == '\0') std::abort();
    }
    ++lines;
  });
  const uint32_t expected = size >= 160 ? 10 : static_cast<uint32_t>((size + 15) / 16);
  if (lines != expected) std::abort();
  return 0;
}
