// The user's 802.1X credentials as toolkit identities: one builder, and the
// five exports as a table of what each hands it.
#include <cstring>
#include <string>
#include <vector>

#include "Halvex.h"
#include "frame/channel.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

// EAP method type numbers.
constexpr ULONG kGtc = 6, kTls = 13, kLeap = 17, kTtls = 21, kPeap = 25, kMsChapV2 = 26, kFast = 43;
constexpr ULONG kTtlsInnerProtocol = 4;
constexpr size_t kNameSize = 80;  // 79 characters and the NUL
constexpr size_t kCertificateSize = 20;

struct MethodList {
  const ULONG* list = nullptr;
  ULONG count = 0;
};

// The builder's thirteen inputs.
struct IdentityInputs {
  const char* name;
  const char* password;
  MethodList outer;
  const char* anonymous;
  ULONG ttlsInnerProtocol;
  MethodList ttls, peap, fast;  // the inner lists of methods 21, 25 and 43
  const unsigned char* certificate;
};

int BuildIdentity(const IdentityInputs& in) {
  SupplicantBridge& b = Bridge();
  std::lock_guard lock(b.LifecycleLock);
  const ToolkitEntries* tk = b.Binding.Bound.load();
  if (tk == nullptr) return kFailure;
  if (ODSTK_HANDLE previous = RetireToolkitHandle(b.ToolkitIdentity)) tk->ODSTK_Release(previous);
  ODSTK_HANDLE identity = nullptr;
  if (tk->ODSTK_CONTEXT_CreateIdentity(b.ToolkitContext.load(), &identity) != 0 || identity == nullptr)
    return kFailure;
  tk->ODSTK_IDENTITY_SetUserNameA(identity, in.name);
  tk->ODSTK_IDENTITY_SetPasswordA(identity, in.password);
  tk->ODSTK_IDENTITY_SetEapTypeList(identity, 0, in.outer.list, in.outer.count);
  tk->ODSTK_IDENTITY_SetAnonymousIdentityA(identity, in.anonymous);
  if (in.ttlsInnerProtocol != 0) tk->ODSTK_IDENTITY_SetTtlsInnerAuthProtocol(identity, in.ttlsInnerProtocol);
  tk->ODSTK_IDENTITY_SetEapTypeList(identity, kTtls, in.ttls.list, in.ttls.count);
  tk->ODSTK_IDENTITY_SetEapTypeList(identity, kPeap, in.peap.list, in.peap.count);
  // A PEAP identity with a stored GTC response has the toolkit ask for it
  // (event 13) instead of sending the password in its GTC answer.
  const bool peap = in.outer.count == 1 && in.outer.list[0] == kPeap;
  tk->ODSTK_IDENTITY_SetNoPasswordInGTC(identity, kPeap, peap && b.GtcResponseDisabled.load() == 0 ? 1 : 0);
  tk->ODSTK_IDENTITY_SetEapTypeList(identity, kFast, in.fast.list, in.fast.count);
  tk->ODSTK_IDENTITY_SetNoPasswordInGTC(identity, kFast, 0);
  if (in.certificate != nullptr) tk->ODSTK_IDENTITY_SetUserCertificate(identity, in.certificate);
  tk->ODSTK_IDENTITY_Initialize(identity);
  // The bridge's own reference, kept until the identity is replaced.
  tk->ODSTK_AddRef(identity);
  b.ToolkitIdentity.store(identity);
  return kSuccess;
}

// What each export hands the builder besides the caller's texts.
struct IdentityKind {
  ULONG outer;
  bool composedName;  // DOMAIN\user; TLS takes the user text unchanged
  bool password;
  bool anonymous;
  ULONG ttlsInnerProtocol;
  MethodList peap;
};

constexpr ULONG kPeapDefaultInner[] = {kGtc, kMsChapV2};
constexpr ULONG kOuterTls[] = {kTls};
constexpr ULONG kOuterPeap[] = {kPeap};
constexpr ULONG kOuterTtls[] = {kTtls};
constexpr ULONG kOuterLeap[] = {kLeap};

constexpr IdentityKind kTlsIdentity{kTls, false, false, false, 0, {}};
constexpr IdentityKind kPeapIdentity{kPeap, true, true, false, 0, {kPeapDefaultInner, 2}};
constexpr IdentityKind kTtlsIdentity{kTtls, true, true, true, kTtlsInnerProtocol, {}};
constexpr IdentityKind kLeapIdentity{kLeap, true, true, false, 0, {}};

const ULONG* OuterList(ULONG method) {
  switch (method) {
    case kTls:
      return kOuterTls;
    case kPeap:
      return kOuterPeap;
    case kTtls:
      return kOuterTtls;
    default:
      return kOuterLeap;
  }
}

const char* TextOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

// The identity name in its 80-byte form: false when it would not fit.
bool ComposeName(const IdentityKind& kind, const char* user, const char* domain, char (&name)[kNameSize]) {
  std::string composed = TextOrEmpty(user);
  if (kind.composedName && *TextOrEmpty(domain) != '\0') composed = std::string(domain) + "\\" + composed;
  if (composed.size() >= kNameSize) return false;
  std::memset(name, 0, kNameSize);
  std::memcpy(name, composed.data(), composed.size());
  return true;
}

// The caller's texts are checked before anything changes.
struct Credentials {
  const char* user;
  const char* domain;
  const char* password;
  const char* anonymous;
  const unsigned char* certificate;
};

bool NameFits(const IdentityKind& kind, const char* user, const char* domain) {
  char name[kNameSize];
  return ComposeName(kind, user, domain, name);
}

int CreateIdentity(const IdentityKind& kind, const Credentials& c, MethodList peapInner) {
  char name[kNameSize];
  if (!ComposeName(kind, c.user, c.domain, name)) return kFailure;
  IdentityInputs in{};
  in.name = name;
  in.password = kind.password ? c.password : nullptr;
  in.outer = {OuterList(kind.outer), 1};
  in.anonymous = kind.anonymous ? c.anonymous : nullptr;
  in.ttlsInnerProtocol = kind.ttlsInnerProtocol;
  in.peap = peapInner;
  in.certificate = c.certificate;
  return BuildIdentity(in);
}

int Create(const IdentityKind& kind, const Credentials& c) {
  return CreateIdentity(kind, c, kind.peap);
}

// Stores what answers the toolkit's GTC request: nothing when disabled.
void StoreGtcResponse(bool disabled, const char* response) {
  SupplicantBridge& b = Bridge();
  std::lock_guard lock(b.GtcLock);
  b.GtcResponseDisabled.store(disabled ? 1 : 0);
  ClearGtcResponseLocked();
  if (!disabled) std::memcpy(b.StoredGtcResponse, response, std::strlen(response) + 1);
}

}  // namespace
}  // namespace hx

int HalvexWPACreateIdentityTLS(char* user, unsigned char* certificate) {
  try {
    // The certificate's 20 bytes are taken from the caller's memory now.
    unsigned char copy[hx::kCertificateSize];
    if (certificate != nullptr) {
      if (IsBadReadPtr(certificate, sizeof copy)) return hx::kFailure;
      std::memcpy(copy, certificate, sizeof copy);
    }
    return hx::Create(hx::kTlsIdentity, {user, nullptr, nullptr, nullptr, certificate ? copy : nullptr});
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexWPACreateIdentityPEAP(char* user, char* domain, char* password) {
  try {
    if (!hx::NameFits(hx::kPeapIdentity, user, domain)) return hx::kFailure;
    // Before the build, so that the toolkit is told to send the password.
    hx::StoreGtcResponse(true, nullptr);
    return hx::Create(hx::kPeapIdentity, {user, domain, password, nullptr, nullptr});
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexWPACreateIdentityPEAP(char* user, char* domain, char* password, ULONG* methods, ULONG count,
                                int disableResponse, char* response) {
  try {
    if (!hx::NameFits(hx::kPeapIdentity, user, domain)) return hx::kFailure;
    const char* text = hx::TextOrEmpty(response);
    if (disableResponse == 0 && strnlen(text, hx::kGtcResponseSize) >= hx::kGtcResponseSize)
      return hx::kFailure;
    // 1 is MS-CHAP-V2, 2 is GTC; the first other code ends the list.
    std::vector<ULONG> inner;
    for (ULONG i = 0; methods != nullptr && i < count; ++i) {
      if (IsBadReadPtr(&methods[i], sizeof methods[i])) break;
      if (methods[i] == 1) {
        inner.push_back(hx::kMsChapV2);
      } else if (methods[i] == 2) {
        inner.push_back(hx::kGtc);
      } else {
        break;
      }
    }
    hx::StoreGtcResponse(disableResponse != 0, text);
    return hx::CreateIdentity(hx::kPeapIdentity, {user, domain, password, nullptr, nullptr},
                              {inner.empty() ? nullptr : inner.data(), static_cast<ULONG>(inner.size())});
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexWPACreateIdentityTtls(char* user, char* domain, char* password, char* anonymous) {
  try {
    return hx::Create(hx::kTtlsIdentity, {user, domain, password, anonymous, nullptr});
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexWPACreateIdentityLEAP(char* user, char* domain, char* password) {
  try {
    return hx::Create(hx::kLeapIdentity, {user, domain, password, nullptr, nullptr});
  } catch (...) {
    return hx::kFailure;
  }
}
