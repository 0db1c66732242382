#include "radius/eap_server.h"

#include <algorithm>

#include "crypto/crypto.h"
#include "eap/fragments.h"
#include "eap/mschap.h"
#include "eap/packet.h"
#include "eap/tunnel.h"

namespace hx::radius {
namespace {

namespace mschap = eap::mschap;
using Clock = std::chrono::steady_clock;

// What a session says after one response.
struct Step {
  enum Kind { kChallenge, kAccept, kReject } kind = kReject;
  Bytes eap;        // the EAP packet for the station
  SecretBytes msk;  // kAccept: the keys (LEAP's are 16 bytes)
  std::string note;
};

Step Challenge(Bytes eap) {
  return {Step::kChallenge, std::move(eap), {}, {}};
}
Step Reject(uint8_t identifier, std::string why) {
  return {Step::kReject, eap::Build(eap::kFailure, identifier), {}, std::move(why)};
}

struct SessionContext {
  const EapServerConfig& config;
  std::string station;  // Called-Station-Id
  std::string identity;
  uint8_t identifier = 0;  // of the last request sent

  uint8_t NextIdentifier() { return ++identifier; }
  std::optional<std::string> Password(std::string_view user) const {
    return config.password ? config.password(station, user) : std::nullopt;
  }
};

class ServerMethod {
 public:
  explicit ServerMethod(SessionContext& s) : s_(s) {}
  virtual ~ServerMethod() = default;
  virtual Step Start() = 0;
  virtual Step Receive(const eap::Packet& packet) = 0;

 protected:
  SessionContext& s_;
};

// ---- The TLS-based methods ----------------------------------------------------------

class TlsServerMethod : public ServerMethod {
 public:
  TlsServerMethod(SessionContext& s, uint8_t type, std::string_view keyLabel)
      : ServerMethod(s), type_(type), keyLabel_(keyLabel) {}

  Step Start() override {
    if (!s_.config.tls)
      return Reject(s_.identifier, std::string(eap::TypeName(type_)) + " needs TLS, which this server lacks");
    session_ = std::make_unique<eap::TlsSession>(s_.config.tls, type_ == eap::kTls);
    return Request(Bytes{eap::kFlagStart});
  }

  Step Receive(const eap::Packet& packet) override {
    if (packet.code != eap::kResponse || packet.type != type_)
      return Reject(packet.identifier, "a response of another method");
    if (outgoing_.Pending() && packet.data.size() == 1 && (packet.data[0] & eap::kFlagMore) == 0)
      return Request(outgoing_.Next());
    switch (reassembler_.Add(packet.data)) {
      case eap::Reassembler::Status::kMore:
        return Request(eap::TlsAck(0));
      case eap::Reassembler::Status::kError:
        return Reject(packet.identifier, "the peer's TLS fragments do not add up");
      case eap::Reassembler::Status::kComplete:
        break;
    }
    const Bytes& message = reassembler_.Message();
    if (!established_) {
      Bytes out;
      switch (session_->Handshake(message, &out)) {
        case eap::TlsSession::Step::kContinue:
          return SendTls(std::move(out));
        case eap::TlsSession::Step::kFailed:
          return Reject(packet.identifier, session_->Error());
        case eap::TlsSession::Step::kEstablished:
          established_ = true;
          return SendTls(std::move(out));
      }
    }
    if (message.empty()) return OnAck(packet.identifier);
    SecretBytes plain;
    if (!session_->Decrypt(message, &plain)) return Reject(packet.identifier, session_->Error());
    return OnApplicationData(plain, packet.identifier);
  }

 protected:
  virtual Step OnAck(uint8_t identifier) = 0;
  virtual Step OnApplicationData(const SecretBytes& plain, uint8_t identifier) {
    return Reject(identifier, "unexpected data in the tunnel");
  }

  Step Request(const Bytes& typeData) {
    return Challenge(eap::Build(eap::kRequest, s_.NextIdentifier(), type_, typeData));
  }
  Step SendTls(Bytes message) {
    outgoing_ = eap::Fragmenter(std::move(message), s_.config.mtu, 0);
    return Request(outgoing_.Next());
  }
  Step SendPlain(ByteView plain, uint8_t identifier) {
    Bytes records;
    if (!session_->Encrypt(plain, &records)) return Reject(identifier, session_->Error());
    return SendTls(std::move(records));
  }
  Step Accept(uint8_t identifier, std::string note) {
    std::optional<SecretBytes> keys = session_->ExportKeys(keyLabel_, 2 * eap::kMskLength);
    if (!keys) return Reject(identifier, "the keys could not be derived");
    keys->resize(eap::kMskLength);
    return {Step::kAccept, eap::Build(eap::kSuccess, identifier), std::move(*keys), std::move(note)};
  }

  std::unique_ptr<eap::TlsSession> session_;
  uint8_t type_;

 private:
  std::string_view keyLabel_;
  eap::Reassembler reassembler_;
  eap::Fragmenter outgoing_;
  bool established_ = false;
};

class EapTlsServer : public TlsServerMethod {
 public:
  explicit EapTlsServer(SessionContext& s) : TlsServerMethod(s, eap::kTls, eap::kTlsKeyLabel) {}

 protected:
  // The client's certificate chained to our CA; it must also name a user of
  // this network.
  Step OnAck(uint8_t identifier) override {
    const std::optional<std::string> name = session_->PeerName();
    if (!name || !s_.Password(*name))
      return Reject(identifier, "the certificate names no user of this network");
    return Accept(identifier, "EAP-TLS: " + *name);
  }
};

class MsChapV2Checker {
 public:
  // A challenge for `name`.
  Bytes ChallengeFor(uint8_t id, const std::string& name) {
    name_ = name;
    crypto::RandomBytes(challenge_);
    return mschap::ChallengeData(id, challenge_, "halvex");
  }
  const mschap::Challenge& challenge() const { return challenge_; }

  // The S= text when `response` proves `password`, else none.
  static std::optional<std::string> Check(const mschap::Challenge& authenticator,
                                          const mschap::Challenge& peer, const mschap::NtResponse& response,
                                          std::string_view name, const std::optional<std::string>& password) {
    if (!password) return std::nullopt;
    std::optional<mschap::Hash> hash = mschap::NtPasswordHash(*password);
    const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
    const std::string_view user = mschap::WithoutDomain(name);
    const std::optional<mschap::NtResponse> expected =
        hash ? mschap::GenerateNtResponse(authenticator, peer, user, *hash) : std::nullopt;
    if (!expected || *expected != response) return std::nullopt;
    return mschap::AuthenticatorResponse(*hash, response, peer, authenticator, user);
  }
  const std::string& name() const { return name_; }

 private:
  mschap::Challenge challenge_{};
  std::string name_;
};

class PeapServer : public TlsServerMethod {
 public:
  explicit PeapServer(SessionContext& s) : TlsServerMethod(s, eap::kPeap, eap::kTlsKeyLabel) {}

 protected:
  Step OnAck(uint8_t identifier) override {
    if (phase_ == Phase::kTunnel) {
      phase_ = Phase::kIdentity;
      return Inner(eap::kIdentity, {}, identifier);
    }
    if (phase_ == Phase::kInnerSucceeded) return Result(true, identifier);
    return Reject(identifier, "an acknowledgement out of turn");
  }

  Step OnApplicationData(const SecretBytes& plain, uint8_t identifier) override {
    const std::optional<eap::Packet> inner = eap::ExpandInner(plain, eap::kResponse, identifier);
    if (!inner || inner->code != eap::kResponse)
      return Reject(identifier, "the tunnel carried no EAP response");
    if (inner->type == eap::kTlv) {
      const std::optional<uint16_t> result = eap::ReadResultTlv(inner->data);
      if (phase_ == Phase::kResultSent && result == eap::kResultSuccess && succeeded_)
        return Accept(identifier, "PEAP: " + name_);
      return Reject(identifier, failure_.empty() ? "the peer did not confirm the result" : failure_);
    }
    switch (phase_) {
      case Phase::kIdentity:
        if (inner->type != eap::kIdentity) return Reject(identifier, "no inner identity");
        name_ = std::string(eap::Text(inner->data));
        phase_ = Phase::kMethod;
        return StartInner(eap::kMsChapV2, identifier);
      case Phase::kMethod:
        return OnInner(*inner, identifier);
      case Phase::kInnerSucceeded:
        // The MS-CHAP-V2 success acknowledged.
        if (inner->type == eap::kMsChapV2) return Result(true, identifier);
        return Reject(identifier, "an inner response out of turn");
      default:
        return Reject(identifier, "an inner response out of turn");
    }
  }

 private:
  enum class Phase { kTunnel, kIdentity, kMethod, kInnerSucceeded, kResultSent };

  Step Inner(uint8_t type, const Bytes& data, uint8_t identifier) {
    const eap::Packet request{eap::kRequest, static_cast<uint8_t>(s_.identifier + 1), type, data};
    return SendPlain(eap::CompressInner(request), identifier);
  }

  Step StartInner(uint8_t type, uint8_t identifier) {
    innerType_ = type;
    if (type == eap::kGtc) {
      const std::string prompt = "Password: ";
      return Inner(eap::kGtc, Bytes(prompt.begin(), prompt.end()), identifier);
    }
    return Inner(eap::kMsChapV2, mschap_.ChallengeFor(static_cast<uint8_t>(s_.identifier + 1), name_),
                 identifier);
  }

  Step OnInner(const eap::Packet& inner, uint8_t identifier) {
    if (inner.type == eap::kNak) {
      // The peer would rather run another inner method.
      for (uint8_t wanted : inner.data) {
        if ((wanted == eap::kGtc || wanted == eap::kMsChapV2) && wanted != innerType_)
          return StartInner(wanted, identifier);
      }
      return Result(false, identifier, "no inner method both sides speak");
    }
    if (inner.type != innerType_) return Result(false, identifier, "an inner response of another method");
    if (innerType_ == eap::kGtc) {
      const std::optional<std::string> password = s_.Password(name_);
      const bool right = password && eap::Text(inner.data) == *password;
      return Result(right, identifier, right ? "" : "PEAP-GTC: wrong password for " + name_);
    }
    const std::optional<mschap::Message> message = mschap::ReadMessage(inner.data);
    if (!message || message->opCode != mschap::kResponse)
      return Result(false, identifier, "not an MS-CHAP-V2 response");
    const std::optional<std::string> proof = MsChapV2Checker::Check(
        mschap_.challenge(), message->challenge, message->response, name_, s_.Password(name_));
    if (!proof) return Result(false, identifier, "PEAP-MSCHAPv2: wrong password for " + name_);
    succeeded_ = true;
    phase_ = Phase::kInnerSucceeded;
    return Inner(eap::kMsChapV2, mschap::SuccessRequestData(message->id, *proof, "welcome"), identifier);
  }

  // The Result TLV; after it the peer's own result decides.
  Step Result(bool success, uint8_t identifier, std::string failure = {}) {
    succeeded_ = success;
    failure_ = std::move(failure);
    phase_ = Phase::kResultSent;
    const Bytes tlv = eap::ResultTlv(success ? eap::kResultSuccess : eap::kResultFailure);
    return SendPlain(eap::Build(eap::kRequest, static_cast<uint8_t>(s_.identifier + 1), eap::kTlv, tlv),
                     identifier);
  }

  Phase phase_ = Phase::kTunnel;
  std::string name_;
  uint8_t innerType_ = 0;
  MsChapV2Checker mschap_;
  bool succeeded_ = false;
  std::string failure_;
};

class TtlsServer : public TlsServerMethod {
 public:
  explicit TtlsServer(SessionContext& s) : TlsServerMethod(s, eap::kTtls, eap::kTtlsKeyLabel) {}

 protected:
  Step OnAck(uint8_t identifier) override {
    if (awaitingAck_) return Accept(identifier, "EAP-TTLS/MSCHAPv2: " + name_);
    return Reject(identifier, "no credentials in the tunnel");
  }

  Step OnApplicationData(const SecretBytes& plain, uint8_t identifier) override {
    const std::optional<std::vector<eap::Avp>> avps = eap::ReadAvps(plain);
    if (!avps) return Reject(identifier, "the tunnel's attributes do not read");
    const eap::Avp* user = eap::FindAvp(*avps, eap::kAvpUserName);
    if (user == nullptr) return Reject(identifier, "no User-Name in the tunnel");
    name_ = std::string(eap::Text(user->data));
    if (const eap::Avp* pap = eap::FindAvp(*avps, eap::kAvpUserPassword)) {
      const std::optional<std::string> password = s_.Password(name_);
      if (!password || eap::UnpadPassword(pap->data) != *password)
        return Reject(identifier, "EAP-TTLS/PAP: wrong password for " + name_);
      return Accept(identifier, "EAP-TTLS/PAP: " + name_);
    }
    const eap::Avp* challenge = eap::FindAvp(*avps, eap::kAvpMsChapChallenge, eap::kVendorMicrosoft);
    const eap::Avp* response = eap::FindAvp(*avps, eap::kAvpMsChap2Response, eap::kVendorMicrosoft);
    if (challenge == nullptr || response == nullptr || challenge->data.size() != 16 ||
        response->data.size() != 50)
      return Reject(identifier, "neither PAP nor MS-CHAP-V2 in the tunnel");
    // The challenge must be the one the tunnel's keys make, or it could be replayed.
    const std::optional<SecretBytes> expected = session_->ExportKeys(eap::kTtlsChallengeLabel, 17);
    if (!expected || !std::equal(challenge->data.begin(), challenge->data.end(), expected->begin()) ||
        response->data[0] != (*expected)[16])
      return Reject(identifier, "the MS-CHAP-V2 challenge is not the tunnel's");
    mschap::Challenge authenticator{}, peer{};
    mschap::NtResponse nt{};
    std::copy_n(challenge->data.begin(), 16, authenticator.begin());
    std::copy_n(response->data.begin() + 2, 16, peer.begin());
    std::copy_n(response->data.begin() + 26, 24, nt.begin());
    const std::optional<std::string> proof =
        MsChapV2Checker::Check(authenticator, peer, nt, name_, s_.Password(name_));
    if (!proof) return Reject(identifier, "EAP-TTLS/MSCHAPv2: wrong password for " + name_);
    SecretBytes reply;
    Bytes success = {response->data[0]};
    success.insert(success.end(), proof->begin(), proof->end());
    eap::AppendAvp(reply, eap::kAvpMsChap2Success, eap::kVendorMicrosoft, success);
    awaitingAck_ = true;
    return SendPlain(reply, identifier);
  }

 private:
  std::string name_;
  bool awaitingAck_ = false;
};

class LeapServer : public ServerMethod {
 public:
  using ServerMethod::ServerMethod;

  Step Start() override {
    crypto::RandomBytes(peerChallenge_);
    return Challenge(eap::Build(eap::kRequest, s_.NextIdentifier(), eap::kLeap,
                                eap::LeapData(peerChallenge_, s_.identity)));
  }

  Step Receive(const eap::Packet& packet) override {
    const std::optional<eap::LeapMessage> message = eap::ReadLeap(packet.data);
    if (packet.type != eap::kLeap || !message) return Reject(packet.identifier, "not a LEAP packet");
    const std::optional<std::string> password = s_.Password(s_.identity);
    std::optional<mschap::Hash> hash = password ? mschap::NtPasswordHash(*password) : std::nullopt;
    const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
    if (!hash) return Reject(packet.identifier, "LEAP: no such user " + s_.identity);
    if (packet.code == eap::kResponse && !answered_) {
      const std::optional<mschap::NtResponse> expected = mschap::ChallengeResponse(peerChallenge_, *hash);
      if (message->value.size() != 24 || !expected ||
          !std::equal(expected->begin(), expected->end(), message->value.begin()))
        return Reject(packet.identifier, "LEAP: wrong password for " + s_.identity);
      std::copy_n(message->value.begin(), 24, peerResponse_.begin());
      answered_ = true;
      // The peer was right; now it challenges us, after a Success.
      return Challenge(eap::Build(eap::kSuccess, packet.identifier));
    }
    if (packet.code == eap::kRequest && answered_ && message->value.size() == 8) {
      std::optional<mschap::Hash> hashHash = mschap::HashNtPasswordHash(*hash);
      const WipeOnExit wipeHashHash(hashHash ? hashHash->data() : nullptr, hashHash ? hashHash->size() : 0);
      mschap::Challenge8 apChallenge{};
      std::copy_n(message->value.begin(), apChallenge.size(), apChallenge.begin());
      const std::optional<mschap::NtResponse> response =
          hashHash ? mschap::ChallengeResponse(apChallenge, *hashHash) : std::nullopt;
      std::optional<SecretBytes> key =
          response ? eap::LeapSessionKey(*hashHash, message->value, *response, peerChallenge_, peerResponse_)
                   : std::nullopt;
      if (!key) return Reject(packet.identifier, "LEAP: the keys could not be derived");
      return {
          Step::kAccept,
          eap::Build(eap::kResponse, packet.identifier, eap::kLeap, eap::LeapData(*response, s_.identity)),
          std::move(*key), "LEAP: " + s_.identity};
    }
    return Reject(packet.identifier, "a LEAP packet out of turn");
  }

 private:
  mschap::Challenge8 peerChallenge_{};
  mschap::NtResponse peerResponse_{};
  bool answered_ = false;
};

std::unique_ptr<ServerMethod> MakeMethod(uint8_t type, SessionContext& s) {
  switch (type) {
    case eap::kTls:
      return std::make_unique<EapTlsServer>(s);
    case eap::kPeap:
      return std::make_unique<PeapServer>(s);
    case eap::kTtls:
      return std::make_unique<TtlsServer>(s);
    case eap::kLeap:
      return std::make_unique<LeapServer>(s);
    default:
      return nullptr;
  }
}

bool Offers(const EapServerConfig& config, uint8_t type) {
  if (type == eap::kLeap) return true;
  return config.tls && (type == eap::kTls || type == eap::kPeap || type == eap::kTtls);
}

}  // namespace

class EapServer::Session {
 public:
  Session(const EapServerConfig& config, std::string station) : context_{config, std::move(station), {}, 0} {}

  Step Receive(const eap::Packet& packet) {
    lastUsed = Clock::now();
    if (context_.identity.empty() && !method_) {
      if (packet.code != eap::kResponse || packet.type != eap::kIdentity)
        return Reject(packet.identifier, "no identity first");
      context_.identity = std::string(eap::Text(packet.data));
      context_.identifier = packet.identifier;
      return Begin(context_.config.firstMethod, packet.identifier);
    }
    if (packet.code == eap::kResponse && packet.type == eap::kNak) {
      for (uint8_t wanted : packet.data) {
        if (wanted != current_ && Offers(context_.config, wanted)) return Begin(wanted, packet.identifier);
      }
      return Reject(packet.identifier, "no method both sides speak");
    }
    if (!method_) return Reject(packet.identifier, "no method under way");
    return method_->Receive(packet);
  }

  Clock::time_point lastUsed = Clock::now();

 private:
  Step Begin(uint8_t type, uint8_t identifier) {
    if (!Offers(context_.config, type)) return Reject(identifier, "no such method");
    current_ = type;
    method_ = MakeMethod(type, context_);
    return method_->Start();
  }

  SessionContext context_;
  std::unique_ptr<ServerMethod> method_;
  uint8_t current_ = 0;
};

EapServer::EapServer(EapServerConfig config) : config_(std::move(config)) {}
EapServer::~EapServer() = default;

size_t EapServer::Sessions() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

std::optional<Packet> EapServer::Handle(const Packet& request, const Endpoint&) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = Clock::now();
  std::erase_if(sessions_,
                [&](const auto& entry) { return now - entry.second->lastUsed > config_.sessionLifetime; });

  Packet answer;
  const std::optional<Bytes> eapBytes = EapMessage(request);
  const std::optional<eap::Packet> packet = eapBytes ? eap::Parse(*eapBytes) : std::nullopt;
  if (!packet) {
    answer.code = kAccessReject;
    return answer;
  }
  Bytes state;
  if (const Attribute* s = request.Find(kState)) state = s->value;
  auto it = sessions_.find(state);
  if (it == sessions_.end()) {
    std::string station;
    if (const Attribute* called = request.Find(kCalledStationId))
      station = std::string(eap::Text(called->value));
    state.assign(16, 0);
    crypto::RandomBytes(state);
    it = sessions_.emplace(state, std::make_unique<Session>(config_, station)).first;
  }
  Step step = it->second->Receive(*packet);
  AddEapMessage(answer, step.eap);
  switch (step.kind) {
    case Step::kChallenge:
      answer.code = kAccessChallenge;
      answer.Add(kState, it->first);
      return answer;
    case Step::kReject:
      answer.code = kAccessReject;
      if (!step.note.empty()) answer.AddText(kReplyMessage, step.note);
      sessions_.erase(it);
      return answer;
    case Step::kAccept:
      break;
  }
  answer.code = kAccessAccept;
  // RFC 2548 salts: the high bit set, unique within the packet.
  uint16_t salt = 0;
  crypto::RandomBytes(std::span<uint8_t>(reinterpret_cast<uint8_t*>(&salt), sizeof salt));
  // The MSK's halves as MS-MPPE-Recv-Key and MS-MPPE-Send-Key. LEAP's
  // 16-byte key goes alone: a NAS given a second half would make a 32-byte
  // PMK of the two, and the station uses the 16 bytes it has.
  const bool whole = step.msk.size() >= 64;
  const ByteView recv(step.msk.data(), whole ? 32 : step.msk.size());
  AddVendorAttribute(answer, kVendorMicrosoft, kMsMppeRecvKey,
                     EncryptMppeKey(recv, config_.secret, request.authenticator, salt));
  if (whole) {
    AddVendorAttribute(answer, kVendorMicrosoft, kMsMppeSendKey,
                       EncryptMppeKey(ByteView(step.msk.data() + 32, 32), config_.secret,
                                      request.authenticator, static_cast<uint16_t>(salt + 1)));
  }
  sessions_.erase(it);
  return answer;
}

}  // namespace hx::radius
