// Fuzz target for .reg texts: any bytes must parse or be refused without
// reading outside the input; whatever a text puts into the (emulated) hive
// must export to a text that reads back to the very same hive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/control.h"
#include "platform/reg_file.h"

namespace {

const HKEY kRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_DYN_DATA};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so a read past the text is caught at once.
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<hx::platform::RegChange> changes;
  if (!hx::platform::ParseRegText(text, &changes)) return 0;

  hx::posix::ResetRegistry();
  hx::platform::ApplyRegChanges(changes);  // may stop at a call the hive refuses
  bool complete = false;
  const std::string first = hx::platform::ExportRegText(kRoots, &complete);
  if (first.empty()) std::abort();

  std::vector<hx::platform::RegChange> again;
  if (!hx::platform::ParseRegText(first, &again)) std::abort();
  hx::posix::ResetRegistry();
  // Handle values are never reused: a run of hours may use them all up.
  const LONG status = hx::platform::ApplyRegChanges(again);
  if (status == ERROR_NOT_ENOUGH_MEMORY) return 0;
  if (status != ERROR_SUCCESS) std::abort();
  if (complete && hx::platform::ExportRegText(kRoots) != first) std::abort();
  return 0;
}
