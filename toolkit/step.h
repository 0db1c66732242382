// What every engine step shares: one received frame (or timer) handled on the
// link's thread, raising link events with the toolkit's mutex released (the
// callback calls the toolkit back), and only while its session lasts.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "crypto/secret.h"
#include "toolkit/internal.h"

namespace odstk_sim {

inline constexpr ULONG kEventLinkState = 1;
inline constexpr ULONG kEventAuthState = 2;
inline constexpr ULONG kEventConnected = 3;
inline constexpr ULONG kEventKey = 6;
inline constexpr ULONG kEventEapol = 8;
inline constexpr ULONG kEventAnswer = 13;
inline constexpr ULONG kEventIdentity = 15;
inline constexpr ULONG kEventConnectionError = 16;

inline constexpr ULONG kLinkAuthenticating = 2;
inline constexpr ULONG kLinkKeyWait = 3;
inline constexpr ULONG kLinkAuthenticated = 4;
inline constexpr ULONG kLinkTimeout = 7;
inline constexpr ULONG kAuthFailed = 3;
inline constexpr ULONG kAuthSucceeded = 7;

// NDIS_802_11_KEY index bits.
inline constexpr ULONG kKeyTransmit = 0x80000000;
inline constexpr ULONG kKeyPairwise = 0x40000000;
inline constexpr ULONG kKeyRscGiven = 0x20000000;

class LinkStep {
 public:
  LinkStep(std::shared_ptr<Link> link, uint64_t session) : link_(std::move(link)), session_(session) {}

 protected:
  // The session this step belongs to is still the link's, and served.
  bool LiveLocked() const { return link_->session == session_ && ServesLocked(*link_); }

  // Delivers `event` to the link's callback; false when the session stopped
  // first (nothing delivered, the step ends).
  bool Raise(void* event);
  bool RaiseLinkState(ULONG state);
  bool RaiseAuthState(ULONG state);
  // Event 6: an NDIS_802_11_KEY record (length, index, key length, BSSID,
  // the 64-bit RSC at 24, the material at 32); its bytes are wiped after.
  bool RaiseKey(ULONG index, const UCHAR* bssid, const UCHAR* rsc, hx::crypto::ByteView material);
  // Event 8: an EAPOL frame to the access point.
  void Send(hx::crypto::ByteView body);
  static void Trace(ULONG level, const std::string& text, const void* data = nullptr, size_t length = 0);

  std::shared_ptr<Link> link_;
  uint64_t session_;
};

}  // namespace odstk_sim
