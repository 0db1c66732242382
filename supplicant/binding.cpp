// Binding the toolkit at run time: where its module comes from on each
// platform, how an entry point's name is spelled, and publishing the table.
#include "supplicant/binding.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "supplicant/bridge.h"

namespace hx {
namespace {

#ifdef _WIN32
constexpr char kToolkitDll[] = "odSupp_M.dll";

// The toolkit beside this library first, as it is installed; then wherever
// the loader's search finds it, as a static import would have.
void* OpenToolkitDll() {
  HMODULE self = nullptr;
  char path[MAX_PATH];
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&OpenToolkitDll), &self)) {
    const DWORD length = GetModuleFileNameA(self, path, sizeof path);
    char* slash = length < sizeof path ? std::strrchr(path, '\\') : nullptr;
    if (slash != nullptr && static_cast<size_t>(slash + 1 - path) + sizeof kToolkitDll <= sizeof path) {
      std::memcpy(slash + 1, kToolkitDll, sizeof kToolkitDll);
      if (HMODULE module = LoadLibraryA(path)) return module;
    }
  }
  return LoadLibraryA(kToolkitDll);
}

void CloseToolkitDll(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

void* LookupInDll(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

constexpr ToolkitSource kSystemSource{OpenToolkitDll, CloseToolkitDll, LookupInDll};
#else
// Natively the stand-in is linked: its symbols are the module, under their
// plain names.
struct LinkedEntry {
  const char* name;
  void* address;
};
#define HX_LINKED_ENTRY(name) {#name, reinterpret_cast<void*>(&::name)},
const LinkedEntry kLinkedEntries[] = {HX_TOOLKIT_ENTRIES(HX_LINKED_ENTRY)};
#undef HX_LINKED_ENTRY

void* OpenLinked() {
  return const_cast<LinkedEntry*>(kLinkedEntries);
}

void CloseLinked(void*) {}

void* LookupLinked(void*, const char* name) {
  for (const LinkedEntry& entry : kLinkedEntries) {
    if (std::strcmp(entry.name, name) == 0) return entry.address;
  }
  return nullptr;
}

constexpr ToolkitSource kSystemSource{OpenLinked, CloseLinked, LookupLinked};
#endif

template <typename Slot>
bool Resolve(const ToolkitSource& source, void* module, const char* name, Slot& slot) {
  void* address = ResolveToolkitEntry(source, module, name, ArgumentBytes(Slot{}));
  slot = reinterpret_cast<Slot>(address);
  return address != nullptr;
}

}  // namespace

const ToolkitSource& SystemToolkitSource() {
  return kSystemSource;
}

ToolkitModule::ToolkitModule(ToolkitModule&& other) noexcept
    : source_(std::exchange(other.source_, nullptr)), module_(std::exchange(other.module_, nullptr)) {}

ToolkitModule& ToolkitModule::operator=(ToolkitModule&& other) noexcept {
  if (this != &other) {
    reset();
    source_ = std::exchange(other.source_, nullptr);
    module_ = std::exchange(other.module_, nullptr);
  }
  return *this;
}

void ToolkitModule::reset() {
  if (void* module = std::exchange(module_, nullptr)) source_->close(module);
  source_ = nullptr;
}

void* ResolveToolkitEntry(const ToolkitSource& source, void* module, const char* name,
                          unsigned argumentBytes) {
  if (void* address = source.lookup(module, name)) return address;
  char decorated[64];
  for (const char* format : {"_%s@%u", "%s@%u"}) {
    const int length = std::snprintf(decorated, sizeof decorated, format, name, argumentBytes);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof decorated) continue;
    if (void* address = source.lookup(module, decorated)) return address;
  }
  return nullptr;
}

bool ResolveToolkitEntries(const ToolkitSource& source, void* module, ToolkitEntries& entries) {
  bool complete = true;
#define HX_RESOLVE_SLOT(name) complete = Resolve(source, module, #name, entries.name) && complete;
  HX_TOOLKIT_ENTRIES(HX_RESOLVE_SLOT)
#undef HX_RESOLVE_SLOT
  return complete;
}

const ToolkitEntries* BindToolkit() {
  ToolkitBinding& binding = Bridge().Binding;
  if (const ToolkitEntries* bound = binding.Bound.load()) return bound;
  const ToolkitSource* source = binding.Source.load();
  ToolkitModule module(source, source->open());
  if (!module) return nullptr;
  if (!ResolveToolkitEntries(*source, module.get(), binding.Entries)) {
    binding.Entries = ToolkitEntries{};
    return nullptr;
  }
  binding.Module = std::move(module);
  binding.Bound.store(&binding.Entries);
  return &binding.Entries;
}

void UnbindToolkit() {
  ToolkitBinding& binding = Bridge().Binding;
  if (binding.Bound.exchange(nullptr) == nullptr) return;
  WaitForToolkitUsers();
  binding.Entries = ToolkitEntries{};
  binding.Module.reset();
}

}  // namespace hx
