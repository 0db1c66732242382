// The station's EAP methods against the server's, in one thread: each EAP
// packet goes from a PeerSession to the EapServer inside an Access-Request
// and back in its answer, with TLS records cut into 100-byte fragments both
// ways. Every method ends with the peer's MSK in the server's MS-MPPE keys;
// a wrong credential ends in Access-Reject and a failed peer.
#ifdef HALVEX_HAS_RADIUS
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "crypto/crypto.h"
#include "eap/peer.h"
#include "radius/certificates.h"
#include "radius/eap_server.h"

namespace hx::test {
namespace {

namespace fs = std::filesystem;
using eap::Bytes;

struct Outcome {
  eap::PeerSession::State peer;
  uint8_t last = 0;             // the code of the server's last answer
  radius::SecretBytes recvKey;  // from Access-Accept
  size_t rounds = 0;
  bool serverAsked = false;  // the peer was asked about the server
};

// Runs the exchange from the identity on: the peer's identity response
// first, then whatever the two say, until the server accepts or refuses.
Outcome Exchange(eap::PeerCredentials credentials, radius::EapServer& server) {
  Outcome outcome{};
  credentials.mtu = 100;
  credentials.confirmServer = [&](const std::string&) { return outcome.serverAsked = true; };
  eap::PeerSession peer(credentials);
  Bytes toServer = eap::Build(eap::kResponse, 1, eap::kIdentity, eap::View(credentials.outerIdentity));
  Bytes state;
  for (; outcome.rounds < 200; ++outcome.rounds) {
    radius::Packet request;
    request.code = radius::kAccessRequest;
    crypto::RandomBytes(request.authenticator);
    radius::AddEapMessage(request, toServer);
    if (!state.empty()) request.Add(radius::kState, state);
    const std::optional<radius::Packet> answer = server.Handle(request, radius::Endpoint::Loopback(1812));
    if (!answer) break;
    outcome.last = answer->code;
    if (const radius::Attribute* s = answer->Find(radius::kState)) state = s->value;
    const std::optional<Bytes> eap = radius::EapMessage(*answer);
    if (answer->code == radius::kAccessAccept) {
      const auto key = radius::FindVendorAttribute(*answer, radius::kVendorMicrosoft, radius::kMsMppeRecvKey);
      if (key)
        outcome.recvKey = radius::DecryptMppeKey(*key, "peer-server", request.authenticator)
                              .value_or(radius::SecretBytes{});
    }
    const std::optional<eap::Packet> packet = eap ? eap::Parse(*eap) : std::nullopt;
    if (!packet) break;
    const eap::PeerSession::Reply reply = peer.Receive(*packet);
    if (answer->code != radius::kAccessChallenge || !reply.packet) break;
    toServer = *reply.packet;
  }
  outcome.peer = peer.state();
  if (outcome.peer == eap::PeerSession::State::kSucceeded) {
    const radius::SecretBytes& msk = peer.Msk();
    // The MSK's first half, or LEAP's whole key, is the Recv-Key.
    if (radius::SecretBytes(msk.begin(), msk.begin() + std::min<size_t>(32, msk.size())) != outcome.recvKey)
      outcome.recvKey.clear();
  }
  return outcome;
}

class PeerServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::path(::testing::TempDir()) / ("halvex_peer_server-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    std::string error;
    ASSERT_TRUE(radius::EnsureCa(dir_, &ca_, &error)) << error;
    ASSERT_TRUE(radius::EnsureCertificate(dir_, "server", "server", true, ca_, &server_, &error)) << error;
    ASSERT_TRUE(radius::EnsureCertificate(dir_, "alice", "alice", false, ca_, &alice_, &error)) << error;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  radius::EapServer Server(uint8_t firstMethod) {
    radius::EapServerConfig config;
    config.secret = "peer-server";
    std::string error;
    config.tls = eap::TlsContext::Server(server_.certificate.string(), server_.key.string(),
                                         ca_.certificate.string(), &error);
    config.firstMethod = firstMethod;
    config.mtu = 100;
    config.password = [](std::string_view, std::string_view user) -> std::optional<std::string> {
      if (user == "alice") return std::string("s3cret");
      return std::nullopt;
    };
    return radius::EapServer(std::move(config));
  }

  static eap::PeerCredentials Credentials(uint8_t method, const std::string& password) {
    eap::PeerCredentials c;
    c.method = method;
    c.outerIdentity = c.userName = "alice";
    c.password.assign(password.begin(), password.end());
    c.trustedCaFiles = {ca_.certificate.string()};
    c.certificateFile = alice_.certificate.string();
    c.keyFile = alice_.key.string();
    return c;
  }

  inline static fs::path dir_;
  inline static radius::CertificateFiles ca_, server_, alice_;
};

TEST_F(PeerServerTest, EveryMethodAgreesOnItsKeysAndRefusesWrongPasswords) {
  struct Case {
    const char* name;
    uint8_t method;
    std::vector<uint8_t> peapInner;
    eap::TtlsInner ttlsInner;
    std::string password;
    uint8_t serverFirst;  // what the server proposes: a Nak to it runs the method
    bool accepted;
  } cases[] = {
      {"EAP-TLS", eap::kTls, {}, eap::TtlsInner::kPap, "", eap::kTls, true},
      {"PEAP-MSCHAPv2", eap::kPeap, {eap::kMsChapV2}, eap::TtlsInner::kPap, "s3cret", eap::kPeap, true},
      {"PEAP-MSCHAPv2, wrong",
       eap::kPeap,
       {eap::kMsChapV2},
       eap::TtlsInner::kPap,
       "secret",
       eap::kPeap,
       false},
      {"PEAP-GTC after a Nak inside",
       eap::kPeap,
       {eap::kGtc},
       eap::TtlsInner::kPap,
       "s3cret",
       eap::kPeap,
       true},
      {"PEAP-GTC, wrong", eap::kPeap, {eap::kGtc}, eap::TtlsInner::kPap, "s3cre", eap::kPeap, false},
      {"TTLS-PAP after a Nak outside", eap::kTtls, {}, eap::TtlsInner::kPap, "s3cret", eap::kPeap, true},
      {"TTLS-PAP, wrong", eap::kTtls, {}, eap::TtlsInner::kPap, "s3cret ", eap::kTtls, false},
      {"TTLS-MSCHAPv2", eap::kTtls, {}, eap::TtlsInner::kMsChapV2, "s3cret", eap::kTtls, true},
      {"TTLS-MSCHAPv2, wrong", eap::kTtls, {}, eap::TtlsInner::kMsChapV2, "S3cret", eap::kTtls, false},
      {"LEAP after a Nak", eap::kLeap, {}, eap::TtlsInner::kPap, "s3cret", eap::kPeap, true},
      {"LEAP, wrong", eap::kLeap, {}, eap::TtlsInner::kPap, "s3cre7", eap::kLeap, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    radius::EapServer server = Server(c.serverFirst);
    eap::PeerCredentials credentials = Credentials(c.method, c.password);
    credentials.peapInner = c.peapInner;
    credentials.ttlsInner = c.ttlsInner;
    const Outcome outcome = Exchange(credentials, server);
    if (c.accepted) {
      EXPECT_EQ(outcome.last, radius::kAccessAccept);
      EXPECT_EQ(outcome.peer, eap::PeerSession::State::kSucceeded);
      EXPECT_EQ(outcome.recvKey.size(), c.method == eap::kLeap ? 16u : 32u)
          << "the peer's MSK, as the server sent it";
      EXPECT_EQ(outcome.serverAsked, c.method != eap::kLeap);
      // 100-byte fragments: the certificates took several rounds each way.
      if (c.method != eap::kLeap) {
        EXPECT_GT(outcome.rounds, 10u);
      }
    } else {
      EXPECT_EQ(outcome.last, radius::kAccessReject);
      EXPECT_EQ(outcome.peer, eap::PeerSession::State::kFailed);
    }
    EXPECT_EQ(server.Sessions(), 0u) << "the server forgets an exchange once it is decided";
  }
}

TEST_F(PeerServerTest, APeerThatRefusesTheServerGetsNoFurther) {
  radius::EapServer server = Server(eap::kPeap);
  eap::PeerCredentials credentials = Credentials(eap::kPeap, "s3cret");
  credentials.trustedCaFiles = {alice_.certificate.string()};  // not the server's CA
  const Outcome outcome = Exchange(credentials, server);
  EXPECT_EQ(outcome.peer, eap::PeerSession::State::kFailed);
  EXPECT_FALSE(outcome.serverAsked);
  EXPECT_NE(outcome.last, radius::kAccessAccept);
}

}  // namespace
}  // namespace hx::test
#endif
