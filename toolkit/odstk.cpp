// The stand-in toolkit's ODSTK_* entry points, except the link thread
// (link.cpp). Each call is recorded first, then checked: a null, released or
// wrong-kind handle is refused with 1 and touches nothing.
#include <algorithm>
#include <cstring>
#include <utility>

#include "toolkit/internal.h"

using namespace odstk_sim;

namespace {

// Records `name(args)` and returns the scripted result, or `normal`.
int Finish(const char* name, const std::string& args, int normal) {
  RecordLocked(std::string(name) + "(" + args + ")");
  return ScriptedLocked(name, normal);
}

// The common shape of a call on one handle of one kind.
template <class T, class Apply>
int OnHandle(const char* name, ODSTK_HANDLE handle, Kind kind, const std::string& rest, Apply&& apply) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    std::string args = HandleText(handle) + rest;
    std::shared_ptr<T> object = FindLocked<T>(handle, kind);
    if (!object) {
      RecordLocked(std::string(name) + "(" + args + ")");
      return 1;
    }
    int result = Finish(name, args, 0);
    if (result == 0) apply(*object);
    return result;
  });
}

// Creates an object for `out` unless scripted to fail; the failure yields null.
template <class Make>
int CreateInto(const char* name, const std::string& args, ODSTK_HANDLE* out, Make&& make) {
  int result = Finish(name, args, 0);
  if (out == nullptr) return 1;
  *out = nullptr;
  if (result != 0) return result;
  std::shared_ptr<Object> object = make();
  *out = reinterpret_cast<ODSTK_HANDLE>(object->value);
  return 0;
}

std::string OutText(const void* out) {
  return out ? "&out" : "null";
}

template <class Vector>
void CopyBytes(Vector& to, const void* from, size_t length) {
  if (from == nullptr) return;
  const auto* bytes = static_cast<const unsigned char*>(from);
  to.assign(bytes, bytes + length);
}

std::unique_ptr<NetworkInfoRecord> CopyNetworkInfo(const SUPP_NETWORK_INFO& info) {
  auto record = std::make_unique<NetworkInfoRecord>();
  ODSIM_NETWORK_INFO& f = record->fixed;
  f.Size = info.Size;
  f.NetworkKind = info.NetworkKind;
  f.Protocol = info.Protocol;
  f.Use8021X = info.Use8021X;
  f.KeyManagement = info.KeyManagement;
  f.Cipher = info.Cipher;
  std::memcpy(f.OwnAddress, info.OwnAddress, 6);
  std::memcpy(f.Bssid, info.Bssid, 6);
  f.HasPassphrase = info.Passphrase != nullptr;
  if (info.Passphrase)
    CopyBytes(record->bytes[ODSIM_FIELD_PASSPHRASE], info.Passphrase, std::strlen(info.Passphrase));
  f.SsidLength = info.SsidLength;
  f.RequestIesLength = info.RequestIesLength;
  f.BeaconIesLength = info.BeaconIesLength;
  f.ResponseIesLength = info.ResponseIesLength;
  CopyBytes(record->bytes[ODSIM_FIELD_SSID], info.Ssid, info.SsidLength);
  CopyBytes(record->bytes[ODSIM_FIELD_REQUEST_IES], info.RequestIes, info.RequestIesLength);
  CopyBytes(record->bytes[ODSIM_FIELD_BEACON_IES], info.BeaconIes, info.BeaconIesLength);
  CopyBytes(record->bytes[ODSIM_FIELD_RESPONSE_IES], info.ResponseIes, info.ResponseIesLength);
  return record;
}

std::string NetworkInfoText(const SUPP_NETWORK_INFO* info) {
  if (info == nullptr) return "null";
  return "{size=" + std::to_string(info->Size) + " kind=" + std::to_string(info->NetworkKind) +
         " protocol=" + std::to_string(info->Protocol) + " 8021x=" + std::to_string(info->Use8021X) +
         " keys=" + std::to_string(info->KeyManagement) + " cipher=" + std::to_string(info->Cipher) + "}";
}

}  // namespace

extern "C" {

ODSTK_API int ODSTK_CALL ODSTK_Initialize(void) {
  return Guard(1, [] {
    Lock lock(Toolkit().mu);
    int result = Finish("ODSTK_Initialize", "", 0);
    if (result == 0) Toolkit().initialized = true;
    return result;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_Terminate(void) {
  return Guard(1, [] {
    Lock lock(Toolkit().mu);
    int result = Finish("ODSTK_Terminate", "", 0);
    Toolkit().initialized = false;
    Toolkit().blobs.clear();
    return result;
  });
}

ODSTK_API ULONG ODSTK_CALL ODSTK_AddRef(ODSTK_HANDLE handle) {
  return Guard(0ul, [&]() -> ULONG {
    Lock lock(Toolkit().mu);
    RecordLocked("ODSTK_AddRef(" + HandleText(handle) + ")");
    std::shared_ptr<Object> object = FindLocked(handle);
    if (!object) {
      ++Toolkit().invalidCalls;
      return 0;
    }
    AddRefLocked(object);
    return object->refs;
  });
}

ODSTK_API ULONG ODSTK_CALL ODSTK_Release(ODSTK_HANDLE handle) {
  return Guard(0ul, [&]() -> ULONG {
    Lock lock(Toolkit().mu);
    RecordLocked("ODSTK_Release(" + HandleText(handle) + ")");
    std::shared_ptr<Object> object = FindLocked(handle);
    if (!object) {
      ++Toolkit().invalidCalls;
      return 0;
    }
    ReleaseLocked(object);
    return object->refs;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_CreateContext(ODSTK_HANDLE* context) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    return CreateInto("ODSTK_CreateContext", OutText(context), context,
                      [] { return CreateLocked(Kind::kContext); });
  });
}

ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_Initialize(ODSTK_HANDLE context) {
  return OnHandle<Context>("ODSTK_CONTEXT_Initialize", context, Kind::kContext, "",
                           [](Context& c) { c.initialized = true; });
}

ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_CreateLinkAsynchronousA(ODSTK_HANDLE context, ODSTK_HANDLE* link) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    const char* name = "ODSTK_CONTEXT_CreateLinkAsynchronousA";
    std::string args = HandleText(context) + ", " + OutText(link);
    std::shared_ptr<Context> owner = FindLocked<Context>(context, Kind::kContext);
    if (!owner) {
      RecordLocked(std::string(name) + "(" + args + ")");
      if (link) *link = nullptr;
      return 1;
    }
    return CreateInto(name, args, link, [&] {
      std::shared_ptr<Object> object = CreateLocked(Kind::kLink);
      AddRefLocked(owner);  // a link keeps its context
      static_cast<Link&>(*object).context = owner;
      return object;
    });
  });
}

ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_CreateIdentity(ODSTK_HANDLE context, ODSTK_HANDLE* identity) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    const char* name = "ODSTK_CONTEXT_CreateIdentity";
    std::string args = HandleText(context) + ", " + OutText(identity);
    std::shared_ptr<Context> owner = FindLocked<Context>(context, Kind::kContext);
    if (!owner) {
      RecordLocked(std::string(name) + "(" + args + ")");
      if (identity) *identity = nullptr;
      return 1;
    }
    return CreateInto(name, args, identity, [&] {
      std::shared_ptr<Object> object = CreateLocked(Kind::kIdentity);
      owner->identities.push_back(object);  // the creation reference is the context's
      return object;
    });
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_SetCallbackA(ODSTK_HANDLE link, ODSTK_LINK_CALLBACK callback,
                                                 ULONG value) {
  std::string rest = std::string(", ") + (callback ? "callback" : "null") + ", " + std::to_string(value);
  return OnHandle<Link>("ODSTK_LINK_SetCallbackA", link, Kind::kLink, rest, [&](Link& l) {
    l.callback = callback;
    l.callbackValue = value;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_Initialize(ODSTK_HANDLE link) {
  return OnHandle<Link>("ODSTK_LINK_Initialize", link, Kind::kLink, "",
                        [](Link& l) { l.initialized = true; });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_SetIdentity(ODSTK_HANDLE link, ODSTK_HANDLE identity) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    const char* name = "ODSTK_LINK_SetIdentity";
    std::string args = HandleText(link) + ", " + HandleText(identity);
    std::shared_ptr<Link> l = FindLocked<Link>(link, Kind::kLink);
    std::shared_ptr<Identity> i = l ? FindLocked<Identity>(identity, Kind::kIdentity) : nullptr;
    if (!l || !i) {
      RecordLocked(std::string(name) + "(" + args + ")");
      return 1;
    }
    int result = Finish(name, args, 0);
    if (result == 0 && l->identity != i) {
      AddRefLocked(i);  // a link keeps the identity it runs with
      std::shared_ptr<Object> previous = std::exchange(l->identity, i);
      ReleaseLocked(previous);
    }
    return result;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_SetSessionResumptionTimeout(ODSTK_HANDLE link, ULONG seconds) {
  return OnHandle<Link>("ODSTK_LINK_SetSessionResumptionTimeout", link, Kind::kLink,
                        ", " + std::to_string(seconds), [&](Link& l) { l.resumptionTimeout = seconds; });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_SetNetworkInfoA(ODSTK_HANDLE link, const SUPP_NETWORK_INFO* info) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    const char* name = "ODSTK_LINK_SetNetworkInfoA";
    std::string args = HandleText(link) + ", " + NetworkInfoText(info);
    std::shared_ptr<Link> l = FindLocked<Link>(link, Kind::kLink);
    if (!l || !info) {
      RecordLocked(std::string(name) + "(" + args + ")");
      return 1;
    }
    int result = Finish(name, args, 0);
    l->networkInfo = CopyNetworkInfo(*info);
    l->networkInfo->fixed.Result = result;
    if (result == 0) {
      AcceptedNetwork& network = l->accepted.emplace();
      network.use8021X = info->Use8021X;
      network.keyManagement = info->KeyManagement;
      network.cipher = info->Cipher;
      std::memcpy(network.ownAddress, info->OwnAddress, 6);
      std::memcpy(network.bssid, info->Bssid, 6);
      if (info->Passphrase) {
        const auto* text = reinterpret_cast<const UCHAR*>(info->Passphrase);
        network.passphrase.assign(text, text + std::strlen(info->Passphrase));
      }
      CopyBytes(network.ssid, info->Ssid, info->SsidLength);
      CopyBytes(network.requestIes, info->RequestIes, info->RequestIesLength);
      CopyBytes(network.beaconIes, info->BeaconIes, info->BeaconIesLength);
      // A new association: its exchange and handshake start from nothing
      // (replay counters included).
      if (IsPskNetwork(network) || network.use8021X == 1) StopSessionLocked(*l);
    }
    return result;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_PortUp(ODSTK_HANDLE link) {
  return OnHandle<Link>("ODSTK_LINK_PortUp", link, Kind::kLink, "", [&](Link& l) {
    l.portUp = true;
    StartPskSessionLocked(FindLocked<Link>(link, Kind::kLink));
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_PortDown(ODSTK_HANDLE link) {
  return OnHandle<Link>("ODSTK_LINK_PortDown", link, Kind::kLink, "", [](Link& l) {
    l.portUp = false;
    StopSessionLocked(l);
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_ReceiveEapol(ODSTK_HANDLE link, const UCHAR* body, ULONG length) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    const char* name = "ODSTK_LINK_ReceiveEapol";
    std::string args = HandleText(link) + ", " + HexBytes(body, length) + ", " + std::to_string(length);
    std::shared_ptr<Link> l = FindLocked<Link>(link, Kind::kLink);
    if (!l) {
      RecordLocked(std::string(name) + "(" + args + ")");
      return 1;
    }
    int result = Finish(name, args, 0);
    if (result != 0 || !Toolkit().engine) return result;
    return ReceiveEapolLocked(l, body, length);
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_ReceivePreauthEapol(ODSTK_HANDLE link, const UCHAR* source,
                                                        const UCHAR* body, ULONG length) {
  std::string rest =
      ", " + HexBytes(source, source ? 6 : 0) + ", " + HexBytes(body, length) + ", " + std::to_string(length);
  return OnHandle<Link>("ODSTK_LINK_ReceivePreauthEapol", link, Kind::kLink, rest, [](Link&) {});
}

ODSTK_API int ODSTK_CALL
ODSTK_LINK_ReceiveAuthenticationEvent(ODSTK_HANDLE link, const NDIS_802_11_AUTHENTICATION_REQUEST* requests) {
  // The entries carry no count: the first one is what the stand-in reads.
  std::string rest = ", null";
  if (requests) {
    rest = ", {length=" + std::to_string(requests->Length) + " bssid=" + HexBytes(requests->Bssid, 6) +
           " flags=" + std::to_string(requests->Flags) + "}";
  }
  return OnHandle<Link>("ODSTK_LINK_ReceiveAuthenticationEvent", link, Kind::kLink, rest, [](Link&) {});
}

ODSTK_API int ODSTK_CALL
ODSTK_LINK_ReceivePMKIDCandidateListEvent(ODSTK_HANDLE link, const NDIS_802_11_PMKID_CANDIDATE_LIST* list) {
  std::string rest = ", null";
  if (list) {
    rest =
        ", {version=" + std::to_string(list->Version) + " candidates=" + std::to_string(list->NumCandidates);
    // Read through a byte pointer: the entries run past the declared one-element array.
    const auto* entries = reinterpret_cast<const unsigned char*>(list) +
                          offsetof(NDIS_802_11_PMKID_CANDIDATE_LIST, CandidateList);
    for (ULONG i = 0; i < list->NumCandidates && i < 16; ++i) {
      PMKID_CANDIDATE candidate;
      std::memcpy(&candidate, entries + i * sizeof candidate, sizeof candidate);
      rest += " " + HexBytes(candidate.BSSID, 6) + "/" + std::to_string(candidate.Flags);
    }
    rest += "}";
  }
  return OnHandle<Link>("ODSTK_LINK_ReceivePMKIDCandidateListEvent", link, Kind::kLink, rest, [](Link&) {});
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_CCKM_StartReassociation(ODSTK_HANDLE link, const void* block) {
  std::string rest = block ? ", block" : ", null";
  return OnHandle<Link>("ODSTK_LINK_CCKM_StartReassociation", link, Kind::kLink, rest, [](Link&) {});
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetUserNameA(ODSTK_HANDLE identity, const char* text) {
  return OnHandle<Identity>("ODSTK_IDENTITY_SetUserNameA", identity, Kind::kIdentity, ", " + QuotedText(text),
                            [&](Identity& i) { i.userName = text ? text : ""; });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetPasswordA(ODSTK_HANDLE identity, const char* text) {
  std::string shown;
  {
    Lock lock(Toolkit().mu);
    shown = text == nullptr || Toolkit().recordSecrets ? QuotedText(text) : "<secret>";
  }
  return OnHandle<Identity>("ODSTK_IDENTITY_SetPasswordA", identity, Kind::kIdentity, ", " + shown,
                            [&](Identity& i) {
                              const auto* bytes = reinterpret_cast<const UCHAR*>(text);
                              i.password.assign(bytes, bytes + (text ? std::strlen(text) : 0));
                            });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetAnonymousIdentityA(ODSTK_HANDLE identity, const char* text) {
  return OnHandle<Identity>("ODSTK_IDENTITY_SetAnonymousIdentityA", identity, Kind::kIdentity,
                            ", " + QuotedText(text), [&](Identity& i) { i.anonymous = text ? text : ""; });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetEapTypeList(ODSTK_HANDLE identity, ULONG method, const ULONG* list,
                                                       ULONG count) {
  std::string rest =
      ", " + std::to_string(method) + ", " + WordList(list, count) + ", " + std::to_string(count);
  return OnHandle<Identity>(
      "ODSTK_IDENTITY_SetEapTypeList", identity, Kind::kIdentity, rest, [&](Identity& i) {
        // A list of at most 16 words is read: no method has more types than that.
        i.eapTypes[method] =
            list ? std::vector<ULONG>(list, list + std::min<ULONG>(count, 16)) : std::vector<ULONG>{};
      });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetTtlsInnerAuthProtocol(ODSTK_HANDLE identity, ULONG value) {
  return OnHandle<Identity>("ODSTK_IDENTITY_SetTtlsInnerAuthProtocol", identity, Kind::kIdentity,
                            ", " + std::to_string(value), [&](Identity& i) { i.ttlsInnerProtocol = value; });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetNoPasswordInGTC(ODSTK_HANDLE identity, ULONG method, ULONG flag) {
  return OnHandle<Identity>("ODSTK_IDENTITY_SetNoPasswordInGTC", identity, Kind::kIdentity,
                            ", " + std::to_string(method) + ", " + std::to_string(flag),
                            [&](Identity& i) { i.noPasswordInGtc[method] = flag; });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetUserCertificate(ODSTK_HANDLE identity, const UCHAR* id) {
  return OnHandle<Identity>("ODSTK_IDENTITY_SetUserCertificate", identity, Kind::kIdentity,
                            ", " + HexBytes(id, id ? 20 : 0), [&](Identity& i) {
                              if (id == nullptr) return i.certificate.reset();
                              i.certificate.emplace();
                              std::memcpy(i.certificate->data(), id, 20);
                            });
}

ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_Initialize(ODSTK_HANDLE identity) {
  return OnHandle<Identity>("ODSTK_IDENTITY_Initialize", identity, Kind::kIdentity, "",
                            [](Identity& i) { i.initialized = true; });
}

ODSTK_API int ODSTK_CALL ODSTK_AllocBlob(ODSTK_BLOB* blob, const void* data, ULONG length) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    // The bytes are an answer to the network (a GTC response): recorded only
    // when a test asks for secrets.
    const std::string shown =
        Toolkit().recordSecrets || data == nullptr ? HexBytes(data, length) : "<secret>";
    int result =
        Finish("ODSTK_AllocBlob",
               std::string(blob ? "blob" : "null") + ", " + shown + ", " + std::to_string(length), 0);
    if (blob == nullptr || (data == nullptr && length != 0)) return 1;
    if (result != 0) return result;
    unsigned char* copy = nullptr;
    if (length != 0) {
      hx::WipedBlock bytes = hx::AllocateWiped(length, false);
      if (!bytes) return 1;
      Toolkit().blobs.push_back({std::move(bytes), length});
      copy = Toolkit().blobs.back().bytes.get();
      std::memcpy(copy, data, length);
    }
    blob->Length = length;
    blob->Data = copy;
    return 0;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_ProcessCallbackA(void* event) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    std::string args = "null";
    if (event) {
      ULONG type;
      std::memcpy(&type, static_cast<const unsigned char*>(event) + 4, sizeof type);
      args = "type=" + std::to_string(type);
    }
    int result = Finish("ODSTK_ProcessCallbackA", args, 0);
    State& s = Toolkit();
    if (s.hold) {
      ++s.held;
      s.changed.notify_all();
      s.changed.wait(lock, [&] { return !s.hold; });
      --s.held;
    }
    return event ? result : 1;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_SetTraceCallbackA(ODSTK_TRACE_CALLBACK callback) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    int result = Finish("ODSTK_SetTraceCallbackA", callback ? "callback" : "null", 0);
    if (result == 0) Toolkit().trace = callback;
    return result;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_SetTraceLevel(ULONG level) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    int result = Finish("ODSTK_SetTraceLevel", std::to_string(level), 0);
    if (result == 0) Toolkit().traceLevel = level;
    return result;
  });
}

}  // extern "C"
