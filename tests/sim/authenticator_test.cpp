// The simulated access point's 802.1X authenticator, driven through the
// adapter's request channel alone: joins, transmitted frames and the event
// records the driver reports for them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/sim/channel_fixture.h"

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
Bytes GtcResponse(uint8_t identifier, const std::string& text) {
  const auto length = static_cast<uint8_t>(5 + text.size());
  Bytes frame = FromStation({0x01, 0x00, 0x00, length, 0x02, identifier, 0x00, length, 0x06});
  frame.insert(frame.end(), text.begin(), text.end());
  return frame;
}

// The records the access point's frames arrive in, written out in full.
const Record kRequestIdentity1 = {
    132, {0x17, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33,
          0x44, 0x07, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x05, 0x01, 0x00}};
const Record kRequestIdentity2 = {
    132, {0x17, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33,
          0x44, 0x07, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x05, 0x01, 0x02, 0x00, 0x05, 0x01, 0x00}};
const Record kRequestGtc2 = {
    132, {0x21, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33,
          0x44, 0x07, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x0F, 0x01, 0x02, 0x00, 0x0F, 0x06, 'P',
          'a',  's',  's',  'w',  'o',  'r',  'd',  ':',  ' ',  0x00, 0x00, 0x00}};
const Record kSuccess2 = {
    132, {0x16, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33,
          0x44, 0x07, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x04, 0x03, 0x02, 0x00, 0x04, 0x00, 0x00}};
const Record kFailure2 = {
    132, {0x16, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33,
          0x44, 0x07, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x04, 0x04, 0x02, 0x00, 0x04, 0x00, 0x00}};
const Record kSent = {133, {}};
const Record kConnected = {1, {}};

class AuthenticatorTest : public SimChannelTest {
 protected:
  void SetUp() override {
    sim::RadioWorld world = sim::RadioWorld::Default();
    world.current.reset();
    world.accessPoints.push_back(sim::EnterpriseAccessPoint("HalvexCorp", 0x07, 6, "s3cret"));
    Install(world);
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
  // two reserved bytes first. Returns the records it brought.
  std::vector<Record> Transmit(const Bytes& frame, size_t declared = SIZE_MAX) {
    const size_t length = declared == SIZE_MAX ? frame.size() : declared;
    Bytes payload = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0, 0};
    payload.insert(payload.end(), frame.begin(), frame.end());
    EXPECT_TRUE(Set(OID_HALVEX_EAPOL_TX, payload));
    return Fetch();
  }

  sim::Station Station() const { return adapter_->World().station; }
};

TEST_F(AuthenticatorTest, JoinOpensTheExchangeRightAfterTheConnection) {
  EXPECT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
}

TEST_F(AuthenticatorTest, OtherNetworksAndRefusedJoinsSendNothing) {
  EXPECT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2Psk), (std::vector<Record>{{0, {}}}));
  EXPECT_EQ(Join("HalvexOpen", sim::ndis::kAuthOpen), (std::vector<Record>{kConnected}));
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent})) << "every frame is reported sent";
  EXPECT_EQ(Station().eapIdentity, "");
}

TEST_F(AuthenticatorTest, RightPasswordIsAcceptedAndWrongOneRefused) {
  struct Case {
    const char* password;
    Record outcome;
    bool authorized;
    uint32_t failures;
  } cases[] = {
      {"s3cret", kSuccess2, true, 0},
      {"guess", kFailure2, false, 1},
      {"s3cret ", kFailure2, false, 2},  // failures add up across associations
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
    EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent, kRequestGtc2}));
    EXPECT_EQ(Station().eapIdentity, "bob");
    EXPECT_EQ(Transmit(GtcResponse(2, c.password)), (std::vector<Record>{kSent, c.outcome}));
    EXPECT_EQ(Station().eapAuthorized, c.authorized);
    EXPECT_EQ(Station().eapFailures, c.failures);
    // The exchange is over: a repeated answer is not taken again.
    EXPECT_EQ(Transmit(GtcResponse(2, "s3cret")), (std::vector<Record>{kSent}));
  }
}

TEST_F(AuthenticatorTest, FramesTheAuthenticatorCannotTakeAreOnlyReportedSent) {
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
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
      {"EAP length not the body's",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x07, 0x01, 'b', 'o', 'b'})},
      {"wrong identifier",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x02, 0x00, 0x08, 0x01, 'b', 'o', 'b'})},
      {"not the type asked for",
       FromStation({0x01, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x06, 'b', 'o', 'b'})},
      {"a request", FromStation({0x01, 0x00, 0x00, 0x08, 0x01, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'})},
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
  EXPECT_EQ(Station().eapIdentity, "");
  // Nothing above disturbed the exchange: version 2 is taken as well.
  EXPECT_EQ(Transmit(FromStation({0x02, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x08, 0x01, 'b', 'o', 'b'})),
            (std::vector<Record>{kSent, kRequestGtc2}));
}

TEST_F(AuthenticatorTest, StartRestartsTheExchangeWithTheNextIdentifier) {
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Transmit(FromStation({0x01, 0x01, 0x00, 0x00})), (std::vector<Record>{kSent, kRequestIdentity2}));
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent})) << "identifier 1 is no longer asked for";
}

TEST_F(AuthenticatorTest, DisassociationAndRejoinResetTheExchange) {
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  ASSERT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent, kRequestGtc2}));
  ASSERT_EQ(Transmit(GtcResponse(2, "s3cret")), (std::vector<Record>{kSent, kSuccess2}));
  EXPECT_TRUE(Set(OID_802_11_DISASSOCIATE, {}));
  EXPECT_EQ(Fetch(), (std::vector<Record>{{0, {}}}));
  EXPECT_EQ(Station().eapIdentity, "");
  EXPECT_FALSE(Station().eapAuthorized);
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent}));

  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Transmit(kIdentityBob), (std::vector<Record>{kSent, kRequestGtc2}));
  // A new join in the middle of an exchange starts it over.
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  EXPECT_EQ(Station().eapIdentity, "");
  EXPECT_EQ(Transmit(GtcResponse(2, "s3cret")), (std::vector<Record>{kSent}));
}

TEST_F(AuthenticatorTest, EnterpriseNetworkAnnouncesAndAsksFor8021X) {
  const sim::AccessPoint ap = sim::EnterpriseAccessPoint("HalvexCorp", 0x07, 6, "s3cret");
  const Bytes rsn = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                     0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x01, 0x00, 0x00};
  EXPECT_EQ(Bytes(ap.ies.end() - static_cast<std::ptrdiff_t>(rsn.size()), ap.ies.end()), rsn);
  EXPECT_EQ(ap.privacy, 1u);
  ASSERT_EQ(Join("HalvexCorp", sim::ndis::kAuthWpa2), (std::vector<Record>{kConnected, kRequestIdentity1}));
  // The association request carried the same element, after the SSID and rates.
  const Bytes info = adapter_->World().AssociationInfo();
  EXPECT_EQ(Bytes(info.begin() + 40 + 12 + 10, info.begin() + 40 + 12 + 10 + 22), rsn);
}

}  // namespace
}  // namespace hx::test
