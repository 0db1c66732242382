// The station's side of EAP after its identity: one method (EAP-TLS, PEAPv0
// with EAP-MSCHAPv2 or GTC inside, EAP-TTLS with PAP or MS-CHAP-V2, LEAP),
// a Nak for any other the server proposes, and the MSK the method derives.
// It answers one packet at a time and keeps no thread; the supplicant runs
// it on its link's thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "eap/packet.h"

namespace hx::eap {

enum class TtlsInner { kPap, kMsChapV2 };

struct PeerCredentials {
  uint8_t method = 0;         // kTls, kPeap, kTtls or kLeap
  std::string outerIdentity;  // the Identity response (TTLS: the anonymous one when given)
  std::string userName;       // inside the method
  SecretBytes password;
  std::vector<uint8_t> peapInner = {kMsChapV2, kGtc};  // the inner methods PEAP may run, preferred first
  TtlsInner ttlsInner = TtlsInner::kMsChapV2;
  // Trust for the server's certificate, and the station's own (EAP-TLS).
  std::vector<std::string> trustedCaFiles;
  std::string certificateFile, keyFile;
  // Asked, on the caller's thread, whether to go on with a server whose
  // certificate chained to a trusted CA (its common name given); true: go on.
  std::function<bool(const std::string& serverName)> confirmServer;
  // Asked for the response to a GTC request instead of the password, when set.
  std::function<SecretText(const std::string& prompt)> gtcResponse;
  size_t mtu = 1000;  // TLS bytes per packet
};

class PeerSession {
 public:
  explicit PeerSession(PeerCredentials credentials);
  ~PeerSession();
  PeerSession(const PeerSession&) = delete;
  PeerSession& operator=(const PeerSession&) = delete;

  enum class State { kRunning, kSucceeded, kFailed };
  struct Reply {
    State state = State::kRunning;
    std::optional<Bytes> packet;  // the EAP packet to send, if any
    std::string note;             // what happened, for the trace (why, on failure)
  };

  // One packet from the authenticator other than an Identity request:
  // a method request, Success or Failure.
  Reply Receive(const Packet& packet);
  State state() const { return state_; }
  // The MSK once the method succeeded: 64 bytes (LEAP: its 16-byte session key).
  const SecretBytes& Msk() const { return msk_; }

  class Method;

 private:
  Reply Fail(std::string why);

  PeerCredentials credentials_;
  std::unique_ptr<Method> method_;
  State state_ = State::kRunning;
  SecretBytes msk_;
};

}  // namespace hx::eap
