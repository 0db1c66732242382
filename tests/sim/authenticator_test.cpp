// The simulated access point as an 802.1X authenticator and RADIUS client,
// driven through the adapter's request channel alone against a RADIUS
// server the test scripts: what each Access-Request carries, the answers
// relayed back to the station, retransmission, refusals and the PMK that
// starts the 4-way handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/rsn.h"
#include "tests/sim/channel_fixture.h"
#ifdef HALVEX_HAS_RADIUS
#include "tests/support/scripted_radius.h"
#endif

namespace hx::test {
namespace {

using sim::Bytes;
using namespace std::chrono_literals;

constexpr DWORD kBound = 5000;  // a safety bound only

// Frames from the station (00 1A 2B 3C 4D 5E) to the access point (00 11 22 33 44 07).
Bytes FromStation(std::initializer_list<uint8_t> eapol, uint8_t etherLow = 0x8E,
                  std::initializer_list<uint8_t> to = {0x00, 0x11, 0x22, 0x33, 0x44, 0x07}) {
  Bytes frame(to);
  const Bytes rest = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x88, etherLow};
  frame.insert(frame.end(), rest.begin(), rest.end());
  frame.insert(frame.end(), eapol.begin(), eapol.end());
  return frame;
}

const Bytes kIdentityBob = FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'});
const Bytes kIdentityBobEap = {0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'};

// The record of a frame the access point sends the station, padding included.
Record ToStation(const Bytes& eap) {
  Bytes data = sim::WordBytes(static_cast<uint32_t>(14 + 4 + eap.size()));
  const Bytes header = {0x00,
                        0x1A,
                        0x2B,
                        0x3C,
                        0x4D,
                        0x5E,
                        0x00,
                        0x11,
                        0x22,
                        0x33,
                        0x44,
                        0x07,
                        0x88,
                        0x8E,
                        0x01,
                        0x00,
                        static_cast<uint8_t>(eap.size() >> 8),
                        static_cast<uint8_t>(eap.size())};
  data.insert(data.end(), header.begin(), header.end());
  data.insert(data.end(), eap.begin(), eap.end());
  data.resize((data.size() + 3) & ~size_t{3}, 0);
  return {132, data};
}

const Record kRequestIdentity1 = ToStation({0x01, 0x01, 0x00, 0x05, 0x01});
const Record kRequestIdentity2 = ToStation({0x01, 0x02, 0x00, 0x05, 0x01});
const Record kSent = {133, {}};
const Record kConnected = {1, {}};

class AuthenticatorTest : public SimChannelTest {
 protected:
  void Install(std::optional<sim::RadiusServerConfig> radius) {
    sim::RadioWorld world = sim::RadioWorld::Default();
    world.current.reset();
    world.accessPoints.push_back(sim::EnterpriseAccessPoint("HalvexCorp", 0x07, 6, {}, std::move(radius)));
    SimChannelTest::Install(world);
  }

  // Joins `ssid` in `authMode` and returns the records the join settled with.
  std::vector<Record> Join(const std::string& ssid, uint32_t authMode) {
    ResetEvent(notify_.get());  // earlier records signalled it too
    EXPECT_TRUE(Set(OID_802_11_AUTHENTICATION_MODE, sim::WordBytes(authMode)));
    Bytes name = sim::WordBytes(static_cast<uint32_t>(ssid.size()));
    name.insert(name.end(), ssid.begin(), ssid.end());
    name.resize(36, 0);
    EXPECT_TRUE(Set(OID_802_11_SSID, name));
    EXPECT_EQ(WaitForSingleObject(notify_.get(), kBound), WAIT_OBJECT_0);
    return Fetch();
  }

  // Transmits an Ethernet frame as the library does: its 16-bit length and
  // two reserved bytes first. Returns the records it brought at once.
  std::vector<Record> Transmit(const Bytes& frame, size_t declared = SIZE_MAX) {
    const size_t length = declared == SIZE_MAX ? frame.size() : declared;
    Bytes payload = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0, 0};
    payload.insert(payload.end(), frame.begin(), frame.end());
    ResetEvent(notify_.get());
    EXPECT_TRUE(Set(OID_HALVEX_EAPOL_TX, payload));
    return Fetch();
  }
  // Transmits a frame and gathers what comes of it: the sent report, then
  // `answers` records the server's answers bring, whenever they come.
  std::vector<Record> Relay(const Bytes& frame, size_t answers) {
    std::vector<Record> records = Transmit(frame);
    if (records.size() < 1 + answers) {
      for (Record& r : Await(1 + answers - records.size())) records.push_back(std::move(r));
    }
    return records;
  }
  // The records that come later, by themselves (the server's answers).
  std::vector<Record> Await(size_t count) {
    std::vector<Record> records;
    while (records.size() < count && WaitForSingleObject(notify_.get(), kBound) == WAIT_OBJECT_0) {
      for (Record& r : Fetch()) records.push_back(std::move(r));
    }
    return records;
  }

  sim::Station Station() const { return adapter_->World().station; }
};

TEST_F(AuthenticatorTest, EnterpriseNetworkAnnouncesAndAsksFor8021X) {
  const sim::AccessPoint ap = sim::EnterpriseAccessPoint("HalvexCorp", 0x07, 6, {{"bob", "pw"}});
  const Bytes rsn = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                     0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x01, 0x00, 0x00};
  EXPECT_EQ(Bytes(ap.ies.end() - static_cast<std::ptrdiff_t>(rsn.size()), ap.ies.end()), rsn);
  EXPECT_EQ(ap.privacy, 1u);
  Install(std::nullopt);
  EXPECT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2Psk), (std::vector<Record>{{0, {}}}));
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  // The association request carried the same element, after the SSID and rates.
  const Bytes info = adapter_->World().AssociationInfo();
  EXPECT_EQ(Bytes(info.begin() + 40 + 12 + 10, info.begin() + 40 + 12 + 10 + 22), rsn);
  EXPECT_EQ(Transmit(FromStation({0x01, 0x01, 0x00, 0x00})), (std::vector<Record>{kSent, kRequestIdentity2}))
      << "EAPOL-Start asks again, with the next identifier";
}

#ifndef HALVEX_HAS_RADIUS
TEST_F(AuthenticatorTest, WithoutRadiusTheStationIsRefused) {
  Install(std::nullopt);
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent, ToStation({0x04, 0x01, 0x00, 0x04})}));
}
#else

class RadiusAuthenticatorTest : public AuthenticatorTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running());
    Install(server_.Config());
    adapter_->SetRadiusTiming(60s, 3);  // retransmissions only where a test asks for them
    ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  }
  ScriptedRadius server_;
};

radius::Bytes Attribute(const radius::Packet& p, uint8_t type) {
  const radius::Attribute* a = p.Find(type);
  return a ? a->value : radius::Bytes{0xFF, 0xFF};
}

TEST_F(RadiusAuthenticatorTest, EachEapPacketGoesInAnAccessRequestAndEachAnswerBack) {
  // A 600-byte EAP response: three EAP-Message attributes on the way out.
  Bytes big = {0x02, 0x02, 0x02, 0x58, 0x19, 0x00};
  for (size_t i = big.size(); i < 600; ++i) big.push_back(static_cast<uint8_t>(i));
  Bytes bigFrame = FromStation({0x01, 0x00, 0x02, 0x58});
  bigFrame.insert(bigFrame.end(), big.begin(), big.end());
  const Bytes challenge = {0x01, 0x02, 0x00, 0x06, 0x19, 0x20};
  const Bytes state = {'s', 't', 'a', 't', 'e', '-', '1'};
  server_.Script([challenge, state](const radius::Packet&) {
    radius::Packet answer = RadiusAnswer(radius::kAccessChallenge, challenge);
    answer.Add(radius::kState, state);
    return answer;
  });
  EXPECT_EQ(Relay(kIdentityBob, 1), (std::vector<Record>{kSent, ToStation(challenge)}));
  EXPECT_EQ(Relay(bigFrame, 1), (std::vector<Record>{kSent, ToStation(challenge)}));

  const std::vector<radius::Packet> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const radius::Packet& r : requests) {
    EXPECT_EQ(r.code, radius::kAccessRequest);
    EXPECT_EQ(Attribute(r, radius::kUserName), (Bytes{'b', 'o', 'b'}));
    const std::string called = "00-11-22-33-44-07:HalvexCorp";
    EXPECT_EQ(Attribute(r, radius::kCalledStationId), Bytes(called.begin(), called.end()));
    const std::string calling = "00-1A-2B-3C-4D-5E";
    EXPECT_EQ(Attribute(r, radius::kCallingStationId), Bytes(calling.begin(), calling.end()));
    EXPECT_EQ(Attribute(r, radius::kNasPortType), (Bytes{0, 0, 0, 19}));
    EXPECT_EQ(Attribute(r, radius::kMessageAuthenticator).size(), 16u);
  }
  EXPECT_EQ(requests[0].Find(radius::kState), nullptr);
  EXPECT_EQ(radius::EapMessage(requests[0]), kIdentityBobEap);
  // The server's State comes back; the long packet in pieces of 253 bytes.
  EXPECT_EQ(Attribute(requests[1], radius::kState), state);
  std::vector<size_t> pieces;
  for (const radius::Attribute& a : requests[1].attributes) {
    if (a.type == radius::kEapMessage) pieces.push_back(a.value.size());
  }
  EXPECT_EQ(pieces, (std::vector<size_t>{253, 253, 94}));
  EXPECT_EQ(radius::EapMessage(requests[1]), big);
  EXPECT_EQ(Station().eapIdentity, "bob");
  EXPECT_EQ(Station().radiusRequests, 2u);
}

TEST_F(RadiusAuthenticatorTest, RefusalsAndSilenceBecomeEapFailure) {
  struct Case {
    const char* name;
    std::function<std::optional<radius::Packet>(const radius::Packet&)> answer;
    Record failure;
  } cases[] = {
      {"Access-Reject with the server's EAP-Failure",
       [](const radius::Packet&) {
         return RadiusAnswer(radius::kAccessReject, {0x04, 0x09, 0x00, 0x04});
       },
       ToStation({0x04, 0x09, 0x00, 0x04})},
      {"Access-Reject without EAP", [](const radius::Packet&) { return RadiusAnswer(radius::kAccessReject); },
       ToStation({0x04, 0x01, 0x00, 0x04})},
      {"Access-Accept without keys",
       [](const radius::Packet&) {
         return RadiusAnswer(radius::kAccessAccept, {0x03, 0x01, 0x00, 0x04});
       },
       ToStation({0x04, 0x01, 0x00, 0x04})},
      {"no answer", [](const radius::Packet&) { return std::nullopt; }, ToStation({0x04, 0x01, 0x00, 0x04})},
  };
  adapter_->SetRadiusTiming(20ms, 2);
  uint32_t failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Script(c.answer);
    ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
    const size_t before = server_.Requests().size();
    EXPECT_EQ(Relay(kIdentityBob, 1), (std::vector<Record>{kSent, c.failure}));
    // Sent once when answered; twice, the attempts the timing allows, when not.
    EXPECT_EQ(
        server_.Requests().size() - before,
        c.failure == ToStation({0x04, 0x01, 0x00, 0x04}) && std::string(c.name) == "no answer" ? 2u : 1u);
    EXPECT_EQ(Station().eapFailures, ++failures);
    EXPECT_FALSE(Station().eapAuthorized);
    EXPECT_FALSE(adapter_->PortOpen());
  }
}

TEST_F(RadiusAuthenticatorTest, LostRequestsAreSentAgainAndAWrongSecretGetsNoAnswer) {
  adapter_->SetRadiusTiming(30ms, 3);
  // Copies, shared or counted apart: the server's thread runs the script, and
  // what passes between it and the test goes through sockets.
  auto seen = std::make_shared<std::atomic<int> >(0);
  server_.Script([seen](const radius::Packet&) -> std::optional<radius::Packet> {
    if (++*seen == 1) return std::nullopt;  // the first copy is lost
    return RadiusAnswer(radius::kAccessChallenge, {0x01, 0x02, 0x00, 0x05, 0x01});
  });
  EXPECT_EQ(Relay(kIdentityBob, 1), (std::vector<Record>{kSent, ToStation({0x01, 0x02, 0x00, 0x05, 0x01})}));
  const std::vector<radius::Packet> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].identifier, requests[1].identifier) << "the same request, sent again";
  EXPECT_EQ(requests[0].authenticator, requests[1].authenticator);

  // A server with another secret drops requests that do not check out under
  // its own: the retries run out into a failure.
  ScriptedRadius forger("another-secret");
  sim::RadioWorld world = adapter_->World();
  world.accessPoints.back().radius = sim::RadiusServerConfig{forger.Config().address, server_.secret()};
  adapter_->SetWorld(world);
  forger.Script([](const radius::Packet&) {
    return RadiusAnswer(radius::kAccessAccept, {0x03, 0x01, 0x00, 0x04});
  });
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Relay(kIdentityBob, 1), (std::vector<Record>{kSent, ToStation({0x04, 0x01, 0x00, 0x04})}));
  EXPECT_TRUE(forger.Requests().empty());
}

TEST_F(RadiusAuthenticatorTest, AcceptGivesThePmkForTheFourWayHandshake) {
  const Bytes key = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A,
                     0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25,
                     0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F};
  server_.Script([key, secret = server_.secret()](const radius::Packet& request) {
    radius::Packet answer = RadiusAnswer(radius::kAccessAccept, {0x03, 0x05, 0x00, 0x04});
    radius::AddVendorAttribute(answer, radius::kVendorMicrosoft, radius::kMsMppeRecvKey,
                               radius::EncryptMppeKey(key, secret, request.authenticator, 0x1234));
    return answer;
  });
  const std::vector<Record> records = Relay(kIdentityBob, 2);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], kSent);
  EXPECT_EQ(records[1], ToStation({0x03, 0x05, 0x00, 0x04}));
  // Then message 1 of the 4-way handshake, on a PMK that is the key.
  const Bytes& m1 = records[2].data;
  ASSERT_GT(m1.size(), 4u + 14u + 99u);
  const std::optional<rsn::KeyFrame> message1 = rsn::ParseKeyFrame(Bytes(m1.begin() + 18, m1.end()));
  ASSERT_TRUE(message1);
  EXPECT_EQ(message1->info, 0x008A);
  const sim::Station station = Station();
  EXPECT_TRUE(station.eapAuthorized);
  EXPECT_EQ(Bytes(station.eapPmk.begin(), station.eapPmk.end()), key);
}

TEST_F(RadiusAuthenticatorTest, FramesTheAccessPointCannotRelayAreOnlyReportedSent) {
  const std::initializer_list<uint8_t> elsewhere = {0x00, 0x11, 0x22, 0x33, 0x44, 0x01};
  struct Case {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"to another access point",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'}, 0x8E, elsewhere)},
      {"pre-authentication",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'}, 0xC7)},
      {"body longer than the bytes",
       FromStation({0x01, 0x00, 0x00, 0x09, 0x02, 0x01, 0x00, 0x09, 0x01, 'b', 'o'})},
      {"bytes after the body",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b', 0x00})},
      {"EAP length past the body",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x09, 0x01, 'b', 'o', 'b'})},
      {"unknown version", FromStation({0x03, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'})},
      {"logoff", FromStation({0x01, 0x02, 0x00, 0x00})},
      {"EAP header cut short", FromStation({0x01, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00})},
      {"Ethernet header cut short", {0x00, 0x11, 0x22, 0x33, 0x44, 0x07, 0x00, 0x1A, 0x2B, 0x3C}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Transmit(c.frame), (std::vector<Record>{kSent}));
  }
  // A transmit length beyond the bytes sent: the frame never reaches the peer.
  EXPECT_EQ(Transmit(kIdentityBob, kIdentityBob.size() + 1), (std::vector<Record>{kSent}));
  EXPECT_EQ(Station().radiusRequests, 0u);
  EXPECT_TRUE(server_.Requests().empty());
  // Version 2 is relayed as well.
  server_.Script([](const radius::Packet&) {
    return RadiusAnswer(radius::kAccessChallenge, {0x01, 0x02, 0x00, 0x05, 0x01});
  });
  EXPECT_EQ(Relay(FromStation({0x02, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'}), 1),
            (std::vector<Record>{kSent, ToStation({0x01, 0x02, 0x00, 0x05, 0x01})}));
  EXPECT_EQ(Station().radiusRequests, 1u);
}

TEST_F(RadiusAuthenticatorTest, AnswersToAnAssociationThatWentAreDropped) {
  server_.Script([](const radius::Packet&) { return std::nullopt; });
  adapter_->SetRadiusTiming(60s, 3);
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent}));
  ASSERT_TRUE(server_.WaitForRequests(1));
  // A new join while the server thinks: its answer would be for the old one.
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Station().eapIdentity, "");
  server_.Script([](const radius::Packet&) {
    return RadiusAnswer(radius::kAccessChallenge, {0x01, 0x02, 0x00, 0x05, 0x01});
  });
  EXPECT_EQ(Relay(kIdentityBob, 1), (std::vector<Record>{kSent, ToStation({0x01, 0x02, 0x00, 0x05, 0x01})}));
}
#endif

}  // namespace
}  // namespace hx::test
