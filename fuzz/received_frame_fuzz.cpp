// Fuzz target for received frames: any bytes, as the data of a code-132
// record, are either dropped or located wholly inside the record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "supplicant/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the record's bytes on the heap, so a read past them is caught.
  std::unique_ptr<unsigned char[]> record(new unsigned char[size + 1]);
  std::memcpy(record.get(), data, size);
  const unsigned char* begin = record.get();
  const unsigned char* end = begin + size;
  const auto frame = hx::ParseReceivedFrame(begin, static_cast<uint32_t>(size));
  if (!frame) return 0;
  if (frame->etherType != hx::kEtherTypeEapol && frame->etherType != hx::kEtherTypePreauthentication)
    std::abort();
  if (frame->destination != begin + 4 || frame->source != begin + 10) std::abort();
  if (frame->body.data != begin + 18 || frame->body.size == 0 ||
      frame->body.size > static_cast<size_t>(end - frame->body.data))
    std::abort();
  volatile unsigned sum = 0;
  for (uint32_t i = 0; i < frame->body.size; ++i) sum = sum + frame->body.data[i];
  return 0;
}
