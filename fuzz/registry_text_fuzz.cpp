// Fuzz target for the registry texts the library reads: stored numbers, the
// adapter's hardware ids, and the 9x binding walk over any binding names.
// Input lines "KEY>BINDING" make BINDING a binding of Enum\KEY; the walk
// starts at DEV and must end (cycles included) without passing its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/control.h"
#include "platform/unique_handle.h"
#include "registry/discovery.h"
#include "registry/text.h"

namespace {

void AddBinding(const std::string& key, const std::string& binding) {
  hx::platform::UniqueKey bindings;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Enum\\" + key + "\\Bindings").c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, bindings.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(bindings.get(), binding.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  hx::ParseDecimal(text, size);
  std::string id(text, size);
  hx::MatchAdapterId(id.data());

  hx::posix::ResetRegistry();
  std::string_view rest(text, size);
  for (int lines = 0; !rest.empty() && lines < 64; ++lines) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    const size_t arrow = line.find('>');
    if (arrow == std::string_view::npos) continue;
    AddBinding(std::string(line.substr(0, arrow)), std::string(line.substr(arrow + 1)));
  }
  hx::platform::UniqueKey transport;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Enum\\Network\\MSTCP\\0000", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, transport.put(), nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(transport.get(), "Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>("NetTrans\\0000"), 14);
  }
  hx::State().OsKind.store(hx::kOs9x);
  // Exactly the walk's 100 bytes on the heap, so a write past them is caught.
  char* key = static_cast<char*>(std::malloc(100));
  std::memset(key, 0, 100);
  std::memcpy(key, "DEV", 3);
  if (hx::FindTransportBinding(key, 100) == 0 && strnlen(key, 100) == 100) std::abort();
  std::free(key);
  return 0;
}
