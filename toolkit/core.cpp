// The stand-in toolkit's shared state: handles and their references, the
// call record, scripted results.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>

#include "toolkit/internal.h"

namespace odstk_sim {

State& Toolkit() {
  static State* state = new State;  // never destroyed: link threads may outlive static destruction
  return *state;
}

Link*& CurrentLinkThread() {
  thread_local Link* link = nullptr;
  return link;
}

unsigned CurrentThreadNumber() {
  static std::atomic<unsigned> next{0};
  thread_local unsigned number = ++next;
  return number;
}

std::shared_ptr<Object> CreateLocked(Kind kind) {
  State& s = Toolkit();
  uintptr_t value = s.nextValue;
  s.nextValue += 0x10;
  unsigned ordinal = ++s.ordinals[static_cast<int>(kind)];
  std::shared_ptr<Object> object;
  switch (kind) {
    case Kind::kContext:
      object = std::make_shared<Context>(kind, value, ordinal);
      break;
    case Kind::kLink:
      object = std::make_shared<Link>(kind, value, ordinal);
      break;
    case Kind::kIdentity:
      object = std::make_shared<Identity>(kind, value, ordinal);
      break;
  }
  s.handles.emplace(value, object);
  return object;
}

std::shared_ptr<Object> FindLocked(ODSTK_HANDLE handle) {
  auto& handles = Toolkit().handles;
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == handles.end() ? nullptr : it->second;
}

void AddRefLocked(const std::shared_ptr<Object>& object) {
  if (object && object->refs != 0) ++object->refs;
}

void TerminateLinkLocked(Link& link) {
  link.terminated = true;
  for (auto& delivery : link.queue) delivery->state = Delivery::State::kDropped;
  link.queue.clear();
  link.wake.notify_all();
  Toolkit().changed.notify_all();
}

namespace {

void DestroyLocked(const std::shared_ptr<Object>& object) {
  Toolkit().handles.erase(object->value);
  Toolkit().changed.notify_all();
  if (object->kind == Kind::kLink) {
    auto& link = static_cast<Link&>(*object);
    TerminateLinkLocked(link);
    std::shared_ptr<Object> context = std::move(link.context);
    std::shared_ptr<Object> identity = std::move(link.identity);
    ReleaseLocked(identity);
    ReleaseLocked(context);
  } else if (object->kind == Kind::kContext) {
    auto identities = std::move(static_cast<Context&>(*object).identities);
    for (auto& identity : identities) ReleaseLocked(identity);
  }
}

}  // namespace

void ReleaseLocked(const std::shared_ptr<Object>& object) {
  if (!object || object->refs == 0) return;
  if (--object->refs == 0) DestroyLocked(object);
}

void ResetLocked() {
  State& s = Toolkit();
  for (auto& [value, object] : s.handles) {
    object->refs = 0;
    if (object->kind == Kind::kLink) TerminateLinkLocked(static_cast<Link&>(*object));
  }
  s.handles.clear();
  for (unsigned& ordinal : s.ordinals) ordinal = 0;
  ClearCallsLocked();
  s.scripts.clear();
  s.invalidCalls = 0;
  s.initialized = false;
  s.trace = nullptr;
  s.traceLevel = 0;
  s.blobs.clear();
  s.engine = false;
  s.handshakeTimeoutMs = kHandshakeTimeoutMs;
  s.recordSecrets = false;
  s.trustedCaFiles.clear();
  s.certificates.clear();
  s.ttlsInnerOverride = 0;
  s.hold = false;
  s.changed.notify_all();
}

void ClearCallsLocked() {
  for (CallRecord& call : Toolkit().calls) hx::WipeSecret(call.text.data(), call.text.size());
  Toolkit().calls.clear();
}

void RecordLocked(std::string text) {
  Link* link = CurrentLinkThread();
  Toolkit().calls.push_back({std::move(text), link ? link->ordinal : 0u, CurrentThreadNumber()});
}

namespace {

const std::set<std::string, std::less<>>& ScriptableCalls() {
  static const std::set<std::string, std::less<>> names = {
      "ODSTK_Initialize",
      "ODSTK_Terminate",
      "ODSTK_CreateContext",
      "ODSTK_CONTEXT_Initialize",
      "ODSTK_CONTEXT_CreateLinkAsynchronousA",
      "ODSTK_CONTEXT_CreateIdentity",
      "ODSTK_LINK_SetCallbackA",
      "ODSTK_LINK_Initialize",
      "ODSTK_LINK_Terminate",
      "ODSTK_LINK_SetIdentity",
      "ODSTK_LINK_SetSessionResumptionTimeout",
      "ODSTK_LINK_SetNetworkInfoA",
      "ODSTK_LINK_PortUp",
      "ODSTK_LINK_PortDown",
      "ODSTK_LINK_ReceiveEapol",
      "ODSTK_LINK_ReceivePreauthEapol",
      "ODSTK_LINK_ReceiveAuthenticationEvent",
      "ODSTK_LINK_ReceivePMKIDCandidateListEvent",
      "ODSTK_LINK_CCKM_StartReassociation",
      "ODSTK_IDENTITY_SetUserNameA",
      "ODSTK_IDENTITY_SetPasswordA",
      "ODSTK_IDENTITY_SetAnonymousIdentityA",
      "ODSTK_IDENTITY_SetEapTypeList",
      "ODSTK_IDENTITY_SetTtlsInnerAuthProtocol",
      "ODSTK_IDENTITY_SetNoPasswordInGTC",
      "ODSTK_IDENTITY_SetUserCertificate",
      "ODSTK_IDENTITY_Initialize",
      "ODSTK_AllocBlob",
      "ODSTK_ProcessCallbackA",
      "ODSTK_SetTraceCallbackA",
      "ODSTK_SetTraceLevel",
  };
  return names;
}

}  // namespace

bool IsScriptable(std::string_view call) {
  return ScriptableCalls().contains(call);
}

int ScriptedLocked(std::string_view call, int normal) {
  auto& scripts = Toolkit().scripts;
  auto it = scripts.find(call);
  if (it == scripts.end()) return normal;
  int result = it->second.result;
  if (it->second.remaining != 0 && --it->second.remaining == 0) scripts.erase(it);
  return result;
}

std::string HandleText(ODSTK_HANDLE handle) {
  if (handle == nullptr) return "null";
  std::shared_ptr<Object> object = FindLocked(handle);
  if (!object) return "stale";
  static const char* const kNames[] = {"?", "context", "link", "identity"};
  return std::string(kNames[static_cast<int>(object->kind)]) + "#" + std::to_string(object->ordinal);
}

std::string QuotedText(const char* text) {
  if (text == nullptr) return "null";
  return std::string("\"") + text + "\"";
}

std::string HexBytes(const void* data, size_t length) {
  if (data == nullptr) return "null";
  std::string text = "[";
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    if (i != 0) text += ' ';
    text += digits;
  }
  return text + "]";
}

std::string WordList(const ULONG* list, ULONG count) {
  if (list == nullptr) return "null";
  std::string text = "[";
  for (ULONG i = 0; i < count; ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(list[i]);
  }
  return text + "]";
}

}  // namespace odstk_sim
