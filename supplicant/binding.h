// The toolkit's entry points, bound at run time: the library loads and runs
// without the toolkit, and takes its entry points under either the plain or
// the stdcall-decorated names a toolkit build may export.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/activity.h"
#include "supplicant/odstk.h"

namespace hx {

// Every entry point the library calls, once.
#define HX_TOOLKIT_ENTRIES(X)                  \
  X(ODSTK_Initialize)                          \
  X(ODSTK_Terminate)                           \
  X(ODSTK_AddRef)                              \
  X(ODSTK_Release)                             \
  X(ODSTK_CreateContext)                       \
  X(ODSTK_CONTEXT_Initialize)                  \
  X(ODSTK_CONTEXT_CreateLinkAsynchronousA)     \
  X(ODSTK_CONTEXT_CreateIdentity)              \
  X(ODSTK_LINK_SetCallbackA)                   \
  X(ODSTK_LINK_Initialize)                     \
  X(ODSTK_LINK_Thread)                         \
  X(ODSTK_LINK_Terminate)                      \
  X(ODSTK_LINK_SetIdentity)                    \
  X(ODSTK_LINK_SetSessionResumptionTimeout)    \
  X(ODSTK_LINK_SetNetworkInfoA)                \
  X(ODSTK_LINK_PortUp)                         \
  X(ODSTK_LINK_PortDown)                       \
  X(ODSTK_LINK_ReceiveEapol)                   \
  X(ODSTK_LINK_ReceivePreauthEapol)            \
  X(ODSTK_LINK_ReceiveAuthenticationEvent)     \
  X(ODSTK_LINK_ReceivePMKIDCandidateListEvent) \
  X(ODSTK_LINK_CCKM_StartReassociation)        \
  X(ODSTK_IDENTITY_SetUserNameA)               \
  X(ODSTK_IDENTITY_SetPasswordA)               \
  X(ODSTK_IDENTITY_SetAnonymousIdentityA)      \
  X(ODSTK_IDENTITY_SetEapTypeList)             \
  X(ODSTK_IDENTITY_SetTtlsInnerAuthProtocol)   \
  X(ODSTK_IDENTITY_SetNoPasswordInGTC)         \
  X(ODSTK_IDENTITY_SetUserCertificate)         \
  X(ODSTK_IDENTITY_Initialize)                 \
  X(ODSTK_AllocBlob)                           \
  X(ODSTK_ProcessCallbackA)                    \
  X(ODSTK_SetTraceCallbackA)                   \
  X(ODSTK_SetTraceLevel)

// One slot per entry point, typed as odstk.h declares it. Only the type of
// the declaration is used: nothing links against the toolkit on Windows.
struct ToolkitEntries {
#define HX_TOOLKIT_SLOT(name) decltype(&::name) name = nullptr;
  HX_TOOLKIT_ENTRIES(HX_TOOLKIT_SLOT)
#undef HX_TOOLKIT_SLOT
};

// The bytes of arguments a stdcall entry point pops, as its decorated name
// gives them: every argument is one 32-bit word on the toolkit's targets.
template <typename R, typename... A>
constexpr unsigned ArgumentBytes(R(ODSTK_CALL*)(A...)) {
  return 4 * sizeof...(A);
}

// Where the entry points come from: on Windows odSupp_M.dll, loaded beside
// the library (else by the loader's search); elsewhere the linked symbols.
struct ToolkitSource {
  void* (*open)();                                  // the module; null when absent
  void (*close)(void* module);                      // once per module opened
  void* (*lookup)(void* module, const char* name);  // an exported address or null
};
const ToolkitSource& SystemToolkitSource();

// Owns an opened module and closes it through its source.
class ToolkitModule {
 public:
  ToolkitModule() = default;
  ToolkitModule(const ToolkitSource* source, void* module) : source_(source), module_(module) {}
  ~ToolkitModule() { reset(); }
  ToolkitModule(ToolkitModule&& other) noexcept;
  ToolkitModule& operator=(ToolkitModule&& other) noexcept;
  ToolkitModule(const ToolkitModule&) = delete;
  ToolkitModule& operator=(const ToolkitModule&) = delete;

  void* get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }
  void reset();
  // Forgets the module, leaving it loaded for good.
  void release() { module_ = nullptr; }

 private:
  const ToolkitSource* source_ = nullptr;
  void* module_ = nullptr;
};

// An entry point's address: under its plain name, else under the stdcall
// decorations "_name@N" (MSVC builds) and "name@N" (GNU builds).
void* ResolveToolkitEntry(const ToolkitSource& source, void* module, const char* name,
                          unsigned argumentBytes);
// Fills every slot; false when any entry point is missing, and then the
// toolkit counts as absent.
bool ResolveToolkitEntries(const ToolkitSource& source, void* module, ToolkitEntries& entries);

// The binding the bridge keeps. Entries are written only while unpublished,
// with no ToolkitUse open and no link thread left, so readers need no lock.
struct ToolkitBinding {
  std::atomic<const ToolkitSource*> Source{&SystemToolkitSource()};  // tests substitute theirs
  std::atomic<const ToolkitEntries*> Bound{nullptr};
  ToolkitEntries Entries;
  ToolkitModule Module;
  // Link threads started and not yet out of the toolkit's code: while any
  // is, the toolkit stays loaded and bound.
  ActivityCount ThreadsInside;

  ToolkitBinding() = default;
  // Still bound as the library goes away: a thread may still run inside the
  // toolkit, so it stays loaded.
  ~ToolkitBinding() {
    if (Bound.load() != nullptr) Module.release();
  }
  ToolkitBinding(const ToolkitBinding&) = delete;
  ToolkitBinding& operator=(const ToolkitBinding&) = delete;
};

}  // namespace hx
