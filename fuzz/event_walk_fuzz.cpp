// Fuzz target for the event-record walk: any bytes, as the 16,384-byte area
// the driver fills, must be walked without reading outside it or looping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "monitor/monitor.h"

namespace {

constexpr uint32_t kAreaSize = 16384;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the area on the heap, so a read past it is caught at once.
  std::unique_ptr<unsigned char[]> area(new unsigned char[kAreaSize]);
  std::memset(area.get(), 0, kAreaSize);
  std::memcpy(area.get(), data, size < kAreaSize ? size : kAreaSize);

  const unsigned char* begin = area.get();
  const unsigned char* end = begin + kAreaSize;
  uint32_t visits = 0;
  volatile uint32_t sum = 0;
  const uint32_t visited = hx::WalkEventRecords(begin, kAreaSize, [&](const hx::EventRecord& r) {
    if (r.record < begin + 4 || r.size < 8 || r.size > static_cast<size_t>(end - r.record)) std::abort();
    uint32_t code;
    std::memcpy(&code, r.record + 4, 4);
    if (code != r.code) std::abort();
    // Every byte the walk hands out must be readable.
    for (uint32_t i = 0; i < r.size; ++i) sum = sum + r.record[i];
    ++visits;
  });
  uint32_t count;
  std::memcpy(&count, begin, 4);
  if (visited != visits || visited > count) std::abort();
  return 0;
}
