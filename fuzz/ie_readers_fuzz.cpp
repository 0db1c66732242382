// Fuzz target for the association-information and scan-list readers. The
// first byte chooses the reader (even: association, odd: scan list) and, for
// the scan list, bytes 1-6 are the BSSID, byte 7 the SSID's length and the
// next 32 its text; the rest is what the driver returned. Every block found
// must lie within the returned bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "supplicant/wire.h"

namespace {

constexpr size_t kScanHeader = 1 + 6 + 1 + 32;

void CheckWithin(hx::ByteSpan span, const unsigned char* begin, size_t size) {
  if (span.size == 0) {
    if (span.data != nullptr) std::abort();
    return;
  }
  if (span.data < begin || span.size > size || static_cast<size_t>(span.data - begin) > size - span.size)
    std::abort();
  volatile unsigned sum = 0;
  for (uint32_t i = 0; i < span.size; ++i) sum = sum + span.data[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool scanList = (data[0] & 1) != 0;
  const size_t header = scanList ? kScanHeader : 1;
  if (size < header) return 0;
  const size_t returned = size - header;
  std::unique_ptr<unsigned char[]> area(new unsigned char[returned + 1]);
  std::memcpy(area.get(), data + header, returned);
  if (scanList) {
    const uint32_t ssidLength = data[7] % 33;
    CheckWithin(
        hx::FindBeaconIes(area.get(), static_cast<uint32_t>(returned), data + 1, data + 8, ssidLength),
        area.get(), returned);
  } else {
    const hx::AssociationIes ies = hx::FindAssociationIes(area.get(), static_cast<uint32_t>(returned));
    CheckWithin(ies.request, area.get(), returned);
    CheckWithin(ies.response, area.get(), returned);
  }
  return 0;
}
