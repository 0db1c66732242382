#include "eap/peer.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "crypto/crypto.h"
#include "eap/fragments.h"
#include "eap/mschap.h"
#include "eap/tls.h"
#include "eap/tunnel.h"

namespace hx::eap {

using Reply = PeerSession::Reply;
using State = PeerSession::State;

// One method's exchange, from its first request to its keys.
class PeerSession::Method {
 public:
  explicit Method(const PeerCredentials& credentials) : c_(credentials) {}
  virtual ~Method() = default;

  // A request of the method's type.
  virtual Reply OnRequest(const Packet& packet) = 0;
  // EAP-Success: the method is done (true) unless it has more to say.
  virtual std::optional<Reply> OnSuccess(const Packet&) { return std::nullopt; }
  // A response from the authenticator (only LEAP has them).
  virtual Reply OnResponse(const Packet&) { return Ignore("a response this method does not expect"); }
  // Whether the method got as far as it must before a Success counts, and
  // then its MSK.
  virtual bool Completed() const = 0;
  virtual std::optional<SecretBytes> Msk() const = 0;

 protected:
  static Reply Ignore(std::string why) { return {State::kRunning, std::nullopt, "ignored: " + why}; }
  static Reply Send(Bytes packet, std::string note = {}) {
    return {State::kRunning, std::move(packet), std::move(note)};
  }
  static Reply Failed(std::string why, std::optional<Bytes> packet = std::nullopt) {
    return {State::kFailed, std::move(packet), std::move(why)};
  }

  const PeerCredentials& c_;
};

namespace {

std::string_view PasswordText(const SecretBytes& password) {
  return Text(password);
}

// ---- MS-CHAP-V2 inside a tunnel ----------------------------------------------------

class MsChapV2 {
 public:
  explicit MsChapV2(const PeerCredentials& c) : c_(c) {}

  enum class Result { kAnswer, kSucceeded, kFailed };
  // One EAP-MSCHAPv2 request's type data; the answer in *answer.
  Result OnRequest(ByteView data, Bytes* answer, std::string* note) {
    const std::optional<mschap::Message> message = mschap::ReadMessage(data);
    if (!message) {
      *note = "an EAP-MSCHAPv2 request that does not read";
      return Result::kFailed;
    }
    switch (message->opCode) {
      case mschap::kChallenge: {
        authenticator_ = message->challenge;
        if (!crypto::RandomBytes(peer_)) {
          *note = "no random source for the MS-CHAP-V2 challenge";
          return Result::kFailed;
        }
        std::optional<mschap::Hash> hash = mschap::NtPasswordHash(PasswordText(c_.password));
        const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
        const std::optional<mschap::NtResponse> response =
            hash
                ? mschap::GenerateNtResponse(authenticator_, peer_, mschap::WithoutDomain(c_.userName), *hash)
                : std::nullopt;
        if (!response) {
          *note = "MS-CHAP-V2 needs MD4 and DES, which this system's cryptography lacks";
          return Result::kFailed;
        }
        response_ = *response;
        expected_ = mschap::AuthenticatorResponse(*hash, response_, peer_, authenticator_,
                                                  mschap::WithoutDomain(c_.userName));
        *answer = mschap::ResponseData(message->id, peer_, response_, c_.userName);
        *note = "EAP-MSCHAPv2 challenge answered";
        return Result::kAnswer;
      }
      case mschap::kSuccess:
        // "S=" and 40 digits, then the message; the digits prove the server
        // knew the password too.
        if (!expected_ || message->text.compare(0, expected_->size(), *expected_) != 0) {
          *note = "the server's MS-CHAP-V2 success does not prove it knows the password";
          *answer = mschap::OpCodeOnly(mschap::kFailure);
          return Result::kFailed;
        }
        *answer = mschap::OpCodeOnly(mschap::kSuccess);
        *note = "EAP-MSCHAPv2 success: the server proved itself";
        return Result::kSucceeded;
      case mschap::kFailure:
        *answer = mschap::OpCodeOnly(mschap::kFailure);
        *note = "the server refused the password (MS-CHAP-V2: " + message->text + ")";
        return Result::kFailed;
      default:
        *note = "an EAP-MSCHAPv2 message a server does not send";
        return Result::kFailed;
    }
  }

  // The TTLS form: the challenge comes from the tunnel's keys.
  std::optional<SecretBytes> TtlsAvps(const mschap::Challenge& authenticator, uint8_t ident) {
    authenticator_ = authenticator;
    ident_ = ident;
    if (!crypto::RandomBytes(peer_)) return std::nullopt;
    std::optional<mschap::Hash> hash = mschap::NtPasswordHash(PasswordText(c_.password));
    const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
    if (!hash) return std::nullopt;
    const std::string_view user = mschap::WithoutDomain(c_.userName);
    const std::optional<mschap::NtResponse> response =
        mschap::GenerateNtResponse(authenticator_, peer_, user, *hash);
    if (!response) return std::nullopt;
    response_ = *response;
    expected_ = mschap::AuthenticatorResponse(*hash, response_, peer_, authenticator_, user);
    SecretBytes avps;
    AppendAvp(avps, kAvpUserName, 0, View(c_.userName));
    AppendAvp(avps, kAvpMsChapChallenge, kVendorMicrosoft, authenticator_);
    Bytes answer = {ident_, 0};
    answer.insert(answer.end(), peer_.begin(), peer_.end());
    answer.insert(answer.end(), 8, 0);
    answer.insert(answer.end(), response_.begin(), response_.end());
    AppendAvp(avps, kAvpMsChap2Response, kVendorMicrosoft, answer);
    return avps;
  }

  // The TTLS server's MS-CHAP2-Success: its identifier, then "S=...".
  bool ProvesServer(ByteView success) const {
    if (!expected_ || success.size() < 1 + expected_->size() || success[0] != ident_) return false;
    return Text(success.subspan(1, expected_->size())) == *expected_;
  }

 private:
  const PeerCredentials& c_;
  mschap::Challenge authenticator_{}, peer_{};
  mschap::NtResponse response_{};
  std::optional<std::string> expected_;
  uint8_t ident_ = 0;
};

// ---- The TLS-based methods ----------------------------------------------------------

// A client context for these files, the last one made when they are the same
// files, unchanged: making one reads and parses every certificate, most of a
// join's work after the handshake itself.
std::shared_ptr<TlsContext> ClientContext(const std::vector<std::string>& trusted,
                                          const std::string& certificate, const std::string& key,
                                          std::string* error) {
  static std::mutex mutex;
  static std::vector<std::string> madeOf;
  static std::shared_ptr<TlsContext> made;
  std::vector<std::string> files = trusted;
  files.push_back(certificate);
  files.push_back(key);
  const size_t named = files.size();
  for (size_t i = 0; i < named; ++i) {
    std::error_code ec;
    const auto when =
        files[i].empty() ? std::filesystem::file_time_type{} : std::filesystem::last_write_time(files[i], ec);
    files.push_back(std::to_string(when.time_since_epoch().count()) + (ec ? "?" : ""));
  }
  std::lock_guard lock(mutex);
  if (made && files == madeOf) return made;
  made = TlsContext::Client(trusted, certificate, key, error);
  madeOf = made ? std::move(files) : std::vector<std::string>{};
  return made;
}

class TlsMethod : public PeerSession::Method {
 public:
  TlsMethod(const PeerCredentials& c, uint8_t type, std::string_view keyLabel)
      : Method(c), type_(type), keyLabel_(keyLabel) {}

  Reply OnRequest(const Packet& packet) override {
    identifier_ = packet.identifier;
    if (failed_) return Ignore("the method already failed");
    if (!session_) {
      if (packet.data.empty() || (packet.data[0] & kFlagStart) == 0)
        return Ignore(std::string(TypeName(type_)) + " request before its start");
      // PEAP and TTLS offer a version; we speak 0.
      if (const std::optional<Reply> refused = Start()) return *refused;
      reassembler_.Reset();
      return Handshake({});
    }
    // The server acknowledges a fragment of ours: the next one goes.
    if (outgoing_.Pending() && packet.data.size() == 1 && (packet.data[0] & kFlagMore) == 0)
      return Send(Response(outgoing_.Next()));
    switch (reassembler_.Add(packet.data)) {
      case Reassembler::Status::kMore:
        return Send(Response(TlsAck(version_)), "fragment acknowledged");
      case Reassembler::Status::kError:
        return Fail("the server's TLS fragments do not add up");
      case Reassembler::Status::kComplete:
        break;
    }
    if (!session_->Established()) return Handshake(reassembler_.Message());
    SecretBytes plain;
    if (!session_->Decrypt(reassembler_.Message(), &plain)) return Fail(session_->Error());
    return OnApplicationData(plain);
  }

  std::optional<SecretBytes> Msk() const override {
    if (!session_) return std::nullopt;
    std::optional<SecretBytes> keys = session_->ExportKeys(keyLabel_, 2 * kMskLength);
    if (keys) keys->resize(kMskLength);
    return keys;
  }

 protected:
  // The tunnel is up: what the method sends first (`handshakeTail` is what
  // TLS still had to send, usually nothing).
  virtual Reply OnEstablished(Bytes handshakeTail) {
    return SendTls(std::move(handshakeTail), "TLS established");
  }
  virtual Reply OnApplicationData(const SecretBytes&) { return SendTls({}, "TLS data acknowledged"); }

  Bytes Response(const Bytes& typeData) const { return Build(kResponse, identifier_, type_, typeData); }

  // Sends TLS bytes, in fragments when they do not fit; an empty message is
  // an acknowledgement.
  Reply SendTls(Bytes message, std::string note) {
    outgoing_ = Fragmenter(std::move(message), c_.mtu, version_);
    return Send(Response(outgoing_.Next()), std::move(note));
  }
  Reply SendPlain(ByteView plain, std::string note) {
    Bytes records;
    if (!session_->Encrypt(plain, &records)) return Fail(session_->Error());
    return SendTls(std::move(records), std::move(note));
  }
  Reply Fail(std::string why, std::optional<Bytes> packet = std::nullopt) {
    failed_ = true;
    return Failed(std::move(why), std::move(packet));
  }

  std::unique_ptr<TlsSession> session_;
  uint8_t identifier_ = 0;

 private:
  // Makes the TLS session, or says why there is none.
  std::optional<Reply> Start() {
    if (!TlsAvailable())
      return Fail(std::string(TypeName(type_)) +
                  " is unavailable in the stand-in toolkit of this build: " + "it has no TLS library");
    if (c_.trustedCaFiles.empty())
      return Fail("no CA certificate to check the server's certificate against: " +
                  std::string(TypeName(type_)) + " needs one");
    std::string error;
    const std::shared_ptr<TlsContext> context =
        ClientContext(c_.trustedCaFiles, type_ == kTls ? c_.certificateFile : std::string(),
                      type_ == kTls ? c_.keyFile : std::string(), &error);
    if (!context) return Fail(error);
    session_ = std::make_unique<TlsSession>(context);
    return std::nullopt;
  }

  Reply Handshake(ByteView in) {
    Bytes out;
    switch (session_->Handshake(in, &out)) {
      case TlsSession::Step::kContinue:
        return SendTls(std::move(out), "TLS handshake");
      case TlsSession::Step::kFailed: {
        // The alert goes to the server, so that it ends its side too.
        std::optional<Bytes> alert;
        if (!out.empty()) alert = Response(Fragmenter(std::move(out), c_.mtu, version_).Next());
        return Fail(session_->Error(), std::move(alert));
      }
      case TlsSession::Step::kEstablished:
        break;
    }
    const std::string name = session_->PeerName().value_or("");
    if (c_.confirmServer && !c_.confirmServer(name))
      return Fail("the server's certificate (" + name + ") was refused when it was shown");
    return OnEstablished(std::move(out));
  }

  uint8_t type_;
  std::string_view keyLabel_;
  uint8_t version_ = 0;
  Reassembler reassembler_;
  Fragmenter outgoing_;
  bool failed_ = false;
};

class EapTls : public TlsMethod {
 public:
  explicit EapTls(const PeerCredentials& c) : TlsMethod(c, kTls, kTlsKeyLabel) {}
  bool Completed() const override { return session_ && session_->Established(); }
};

class Peap : public TlsMethod {
 public:
  explicit Peap(const PeerCredentials& c) : TlsMethod(c, kPeap, kTlsKeyLabel), mschap_(c) {}
  bool Completed() const override { return resultSuccess_; }

 protected:
  Reply OnApplicationData(const SecretBytes& plain) override {
    const std::optional<Packet> inner = ExpandInner(plain, kRequest, identifier_);
    if (!inner || inner->code != kRequest) return Fail("the tunnel carried no EAP request");
    switch (inner->type) {
      case kIdentity:
        return Inner(*inner, kIdentity, Bytes(c_.userName.begin(), c_.userName.end()), "inner identity sent");
      case kTlv:
        return OnResult(*inner);
      default:
        break;
    }
    if (inner->type != innerType_) {
      const bool allowed =
          std::find(c_.peapInner.begin(), c_.peapInner.end(), inner->type) != c_.peapInner.end();
      if (!allowed || innerType_ != 0) {
        // Propose what we may run instead.
        Bytes wanted(c_.peapInner.begin(), c_.peapInner.end());
        return Inner(*inner, kNak, wanted, std::string("inner ") + TypeName(inner->type) + " declined (Nak)");
      }
      innerType_ = inner->type;
    }
    if (innerType_ == kGtc) {
      const std::string prompt(Text(inner->data));
      const SecretText answer =
          c_.gtcResponse ? c_.gtcResponse(prompt) : SecretText(PasswordText(c_.password));
      // GTC has no answer of its own: the Result TLV says how it went.
      innerSucceeded_ = true;
      const std::string_view said = answer.view();
      return Inner(*inner, kGtc, Bytes(said.begin(), said.end()), "inner GTC answered");
    }
    Bytes answer;
    std::string note;
    const MsChapV2::Result result = mschap_.OnRequest(inner->data, &answer, &note);
    if (result == MsChapV2::Result::kSucceeded) innerSucceeded_ = true;
    if (result == MsChapV2::Result::kFailed) innerFailed_ = note;
    if (answer.empty()) return Fail(note);
    return Inner(*inner, kMsChapV2, answer, note);
  }

 private:
  Reply Inner(const Packet& request, uint8_t type, const Bytes& data, std::string note) {
    Packet response{kResponse, request.identifier, type, data};
    return SendPlain(CompressInner(response), std::move(note));
  }

  Reply OnResult(const Packet& request) {
    const std::optional<uint16_t> result = ReadResultTlv(request.data);
    if (!result) return Fail("an EAP-TLV request without a result");
    const bool success = *result == kResultSuccess && innerSucceeded_ && innerFailed_.empty();
    const Bytes tlv = ResultTlv(success ? kResultSuccess : kResultFailure);
    Bytes records;
    if (!session_->Encrypt(Build(kResponse, request.identifier, kTlv, tlv), &records))
      return Fail(session_->Error());
    if (!success) {
      const std::string why = !innerFailed_.empty() ? innerFailed_
                              : *result != kResultSuccess
                                  ? "the server refused the inner authentication"
                                  : "the server reported success for an unfinished method";
      Reply reply = Fail(why);
      reply.packet = Response(Fragmenter(std::move(records), c_.mtu, 0).Next());
      return reply;
    }
    resultSuccess_ = true;
    return SendTls(std::move(records), "PEAP result: success");
  }

  MsChapV2 mschap_;
  uint8_t innerType_ = 0;
  bool innerSucceeded_ = false;
  std::string innerFailed_;
  bool resultSuccess_ = false;
};

class Ttls : public TlsMethod {
 public:
  explicit Ttls(const PeerCredentials& c) : TlsMethod(c, kTtls, kTtlsKeyLabel), mschap_(c) {}
  bool Completed() const override { return done_; }

 protected:
  Reply OnEstablished(Bytes handshakeTail) override {
    SecretBytes avps;
    if (c_.ttlsInner == TtlsInner::kPap) {
      AppendAvp(avps, kAvpUserName, 0, View(c_.userName));
      AppendAvp(avps, kAvpUserPassword, 0, PadPassword(PasswordText(c_.password)));
      done_ = true;  // the server's answer is the outcome
    } else {
      const std::optional<SecretBytes> challenge = session_->ExportKeys(kTtlsChallengeLabel, 17);
      mschap::Challenge authenticator{};
      if (challenge) std::copy_n(challenge->begin(), 16, authenticator.begin());
      std::optional<SecretBytes> made =
          challenge ? mschap_.TtlsAvps(authenticator, (*challenge)[16]) : std::nullopt;
      if (!made) return Fail("MS-CHAP-V2 needs MD4 and DES, which this system's cryptography lacks");
      avps = std::move(*made);
    }
    Bytes records = std::move(handshakeTail);
    if (!session_->Encrypt(avps, &records)) return Fail(session_->Error());
    return SendTls(std::move(records), c_.ttlsInner == TtlsInner::kPap ? "TTLS: PAP credentials sent"
                                                                       : "TTLS: MS-CHAP-V2 response sent");
  }

  Reply OnApplicationData(const SecretBytes& plain) override {
    const std::optional<std::vector<Avp>> avps = ReadAvps(plain);
    if (!avps) return Fail("the server's TTLS attributes do not read");
    if (const Avp* success = FindAvp(*avps, kAvpMsChap2Success, kVendorMicrosoft)) {
      if (!mschap_.ProvesServer(success->data))
        return Fail("the server's MS-CHAP-V2 success does not prove it knows the password");
      done_ = true;
      return SendTls({}, "TTLS: the server proved itself");
    }
    if (FindAvp(*avps, kAvpMsChapError, kVendorMicrosoft) != nullptr)
      return Fail("the server refused the password (MS-CHAP-V2 error)");
    return SendTls({}, "TTLS data acknowledged");
  }

 private:
  MsChapV2 mschap_;
  bool done_ = false;
};

class Leap : public PeerSession::Method {
 public:
  explicit Leap(const PeerCredentials& c) : Method(c) {}

  Reply OnRequest(const Packet& packet) override {
    const std::optional<LeapMessage> message = ReadLeap(packet.data);
    if (!message || message->value.size() != 8) return Ignore("a LEAP request without an 8-byte challenge");
    std::optional<mschap::Hash> hash = mschap::NtPasswordHash(PasswordText(c_.password));
    const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
    std::copy_n(message->value.begin(), 8, peerChallenge_.begin());
    const std::optional<mschap::NtResponse> response =
        hash ? mschap::ChallengeResponse(peerChallenge_, *hash) : std::nullopt;
    if (!response) return Failed("LEAP needs MD4 and DES, which this system's cryptography lacks");
    peerResponse_ = *response;
    answered_ = true;
    return Send(Build(kResponse, packet.identifier, kLeap, LeapData(peerResponse_, c_.userName)),
                "LEAP challenge answered");
  }

  // The server took our answer; now it must answer ours.
  std::optional<Reply> OnSuccess(const Packet& packet) override {
    if (!answered_ || asked_) return Failed("a LEAP success out of turn");
    if (!crypto::RandomBytes(apChallenge_)) return Failed("no random source for the LEAP challenge");
    asked_ = true;
    return Send(Build(kRequest, packet.identifier, kLeap, LeapData(apChallenge_, c_.userName)),
                "LEAP: challenging the server");
  }

  Reply OnResponse(const Packet& packet) override {
    const std::optional<LeapMessage> message = ReadLeap(packet.data);
    if (!asked_ || !message || message->value.size() != 24) return Ignore("a LEAP response out of turn");
    std::optional<mschap::Hash> hash = mschap::NtPasswordHash(PasswordText(c_.password));
    const WipeOnExit wipeHash(hash ? hash->data() : nullptr, hash ? hash->size() : 0);
    std::optional<mschap::Hash> hashHash = hash ? mschap::HashNtPasswordHash(*hash) : std::nullopt;
    const WipeOnExit wipeHashHash(hashHash ? hashHash->data() : nullptr, hashHash ? hashHash->size() : 0);
    const std::optional<mschap::NtResponse> expected =
        hashHash ? mschap::ChallengeResponse(apChallenge_, *hashHash) : std::nullopt;
    if (!expected || !std::equal(expected->begin(), expected->end(), message->value.begin()))
      return Failed("the server's LEAP answer does not prove it knows the password");
    msk_ = LeapSessionKey(*hashHash, apChallenge_, message->value, peerChallenge_, peerResponse_);
    if (!msk_) return Failed("the LEAP session key could not be derived");
    return {State::kSucceeded, std::nullopt, "LEAP: the server proved itself"};
  }

  bool Completed() const override { return msk_.has_value(); }
  std::optional<SecretBytes> Msk() const override { return msk_; }

 private:
  mschap::Challenge8 peerChallenge_{}, apChallenge_{};
  mschap::NtResponse peerResponse_{};
  bool answered_ = false, asked_ = false;
  std::optional<SecretBytes> msk_;
};

std::unique_ptr<PeerSession::Method> MakeMethod(const PeerCredentials& c) {
  switch (c.method) {
    case kTls:
      return std::make_unique<EapTls>(c);
    case kPeap:
      return std::make_unique<Peap>(c);
    case kTtls:
      return std::make_unique<Ttls>(c);
    case kLeap:
      return std::make_unique<Leap>(c);
    default:
      return nullptr;
  }
}

}  // namespace

PeerSession::PeerSession(PeerCredentials credentials) : credentials_(std::move(credentials)) {}
PeerSession::~PeerSession() = default;

Reply PeerSession::Fail(std::string why) {
  state_ = State::kFailed;
  return {State::kFailed, std::nullopt, std::move(why)};
}

Reply PeerSession::Receive(const Packet& packet) {
  if (state_ != State::kRunning) return {state_, std::nullopt, "ignored: the exchange is over"};
  Reply reply;
  switch (packet.code) {
    case kSuccess: {
      if (method_) {
        if (std::optional<Reply> more = method_->OnSuccess(packet)) {
          reply = std::move(*more);
          break;
        }
      }
      // A Success before the method finished (or without one) would let
      // anyone between us and the server in, without keys.
      if (!method_ || !method_->Completed()) return Fail("EAP Success before the method finished");
      std::optional<SecretBytes> msk = method_->Msk();
      if (!msk) return Fail("the method's keys could not be derived");
      msk_ = std::move(*msk);
      state_ = State::kSucceeded;
      return {State::kSucceeded, std::nullopt, "EAP Success"};
    }
    case kFailure:
      return Fail("the server refused the credentials (EAP Failure)");
    case kResponse:
      if (!method_ || packet.type != credentials_.method)
        return {State::kRunning, std::nullopt, "ignored: a response"};
      reply = method_->OnResponse(packet);
      break;
    case kRequest:
      if (packet.type == kNotification)
        return {State::kRunning, Build(kResponse, packet.identifier, kNotification), "notification"};
      if (packet.type != credentials_.method) {
        // A method we do not run: say which one we would.
        const uint8_t wanted = credentials_.method;
        return {State::kRunning, Build(kResponse, packet.identifier, kNak, ByteView(&wanted, 1)),
                std::string(TypeName(packet.type)) + " proposed; Nak, asking for " + TypeName(wanted)};
      }
      if (!method_) method_ = MakeMethod(credentials_);
      if (!method_) return Fail("no such method");
      reply = method_->OnRequest(packet);
      break;
    default:
      return {State::kRunning, std::nullopt, "ignored: not an EAP code"};
  }
  if (reply.state == State::kFailed) state_ = State::kFailed;
  if (reply.state == State::kSucceeded) {
    std::optional<SecretBytes> msk = method_->Msk();
    if (!msk) return Fail("the method's keys could not be derived");
    msk_ = std::move(*msk);
    state_ = State::kSucceeded;
  }
  return reply;
}

}  // namespace hx::eap
