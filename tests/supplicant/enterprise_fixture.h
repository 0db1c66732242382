// WPA2-Enterprise joins through the library's exports, as a table: the
// utility's calls (identity, security information, SSID), the stand-in
// toolkit's EAP method and 4-way handshake, and the simulated access point
// relaying to a RADIUS server, the built-in one or FreeRADIUS. What a right
// credential must end in (the port open, the TK the toolkit installed being
// the one the server's key makes) and what a wrong one must (refused,
// nothing installed) is checked here for every server alike.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "crypto/rsn.h"
#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {

struct JoinCase {
  const char* name;
  const char* method;  // peap, peap-gtc, ttls-pap, ttls-mschapv2, tls, leap
  std::string user, password;
  std::string certificate, key;  // tls
  bool right;
};

class EnterpriseJoinTest : public BridgeTest {
 protected:
  static constexpr ULONG kWpa2 = 6;        // NDIS authentication mode
  static constexpr ULONG kAesEnabled = 6;  // NDIS encryption status
  static constexpr ULONG kAes = 3;
  inline static const Bytes kBssid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x05};
  inline static const Bytes kStation = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

  // The world: HalvexCorp relaying to `server`, whose certificate the
  // stand-in checks against `caFile`.
  void UseServer(const sim::RadiusServerConfig& server, const std::string& caFile) {
    EngineAndNetwork(sim::EnterpriseAccessPoint("HalvexCorp", 0x05, 6, {}, server));
    sim->SetHandshakeRetry(std::chrono::seconds(60));
    ASSERT_EQ(ODSIM_TrustCertificateFile(caFile.c_str()), 0);
  }

  // The identity a case names, made through the library's exports.
  void CreateIdentity(const JoinCase& c) {
    std::string user = c.user, password = c.password, empty, anonymous = "anonymous";
    const std::string method = c.method;
    ODSIM_SetTtlsInnerProtocol(method == "ttls-pap" ? 1 : 0);
    int made = 1;
    if (method == "peap") made = HalvexWPACreateIdentityPEAP(user.data(), empty.data(), password.data());
    if (method == "peap-gtc") {
      ULONG gtc[] = {2};
      made = HalvexWPACreateIdentityPEAP(user.data(), empty.data(), password.data(), gtc, 1, 1, empty.data());
    }
    if (method.rfind("ttls", 0) == 0)
      made = HalvexWPACreateIdentityTtls(user.data(), empty.data(), password.data(), anonymous.data());
    if (method == "leap") made = HalvexWPACreateIdentityLEAP(user.data(), empty.data(), password.data());
    if (method == "tls") {
      unsigned char thumbprint[20] = {};
      ASSERT_EQ(ODSIM_AddCertificate(c.certificate.c_str(), c.key.c_str(), thumbprint, nullptr, 0), 0);
      made = HalvexWPACreateIdentityTLS(user.data(), thumbprint);
    }
    ASSERT_EQ(made, 0);
  }

  static ULONG ModeOf(const std::string& method) {
    if (method == "tls") return 11;
    if (method.rfind("ttls", 0) == 0) return 12;
    if (method == "leap") return 14;
    return 10;
  }

  // The join a case describes, to its end: connected, or refused and left.
  void Join(const JoinCase& c) {
    recorder.Clear();
    sim->ClearCalls();
    // What the station held and carried before is not this join's.
    sim::RadioWorld world = sim->World();
    world.station.keys.clear();
    world.station.eapolFrames.clear();
    world.station.receivedFrames.clear();
    sim->SetWorld(world);
    CreateIdentity(c);
    char ssid[] = "HalvexCorp";
    ASSERT_EQ(HalvexSetWPAInformation(adapter, ModeOf(c.method), kAes, nullptr, ssid), 0);
    HalvexSetAuthMode(adapter, kWpa2);
    HalvexSetWepStatus(adapter, kAesEnabled);
    // A refusal may come fast enough to take the link down before the join
    // has returned: only a right credential's join must say it connected.
    const int joined = HalvexSetSsid(adapter, ssid, 10);
    if (c.right) {
      ASSERT_EQ(joined, 0);
      WaitFor([](const Message& m) { return m.code == HALVEX_MSG_SUPP_CONNECTED; });
    } else {
      WaitFor([](const Message& m) { return m.text == "[Auth]: Authentication failed"; });
      WaitFor([](const Message& m) { return !m.hasText && m.code == 0; });  // the disassociation
    }
    ASSERT_EQ(ODSIM_WaitIdle(Link(), 5000), ODSIM_DELIVERED);
  }

  // Leaves the network, once the disassociation was reported: a report
  // still under way would wake the next join.
  void Leave() {
    HalvexWPAPortDown();
    const bool associated = sim->World().current.has_value();
    recorder.Clear();
    HalvexSetDisassociate(adapter);
    if (associated) WaitFor([](const Message& m) { return !m.hasText && m.code == 0; });
    ASSERT_EQ(ODSIM_WaitIdle(Link(), 5000), ODSIM_DELIVERED);
  }

  // A right credential: the port is open and the keys the driver holds are
  // those the server's key makes with this association's nonces.
  void ExpectConnectedOn(const crypto::SecretBytes& serverKey, const std::string& method) {
    const sim::RadioWorld world = sim->World();
    EXPECT_TRUE(sim->PortOpen());
    EXPECT_EQ(Bridge().PortOpen.load(), 1u);
    EXPECT_EQ(HalvexGetWPASuppStatus(2), 7);
    const auto messages = recorder.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), Text("[Auth]: Authentication failed")), 0);
    // The TLS-based methods ask the library about the server.
    EXPECT_EQ(
        std::find(messages.begin(), messages.end(), Text("Validate server certificate")) != messages.end(),
        method != "leap");
    const std::optional<rsn::Nonce> anonce = NonceOf(world.station.receivedFrames, 0x008A);
    const std::optional<rsn::Nonce> snonce = NonceOf(world.station.eapolFrames, 0x010A);
    ASSERT_TRUE(anonce && snonce);
    rsn::Mac aa, spa;
    std::copy(kBssid.begin(), kBssid.end(), aa.begin());
    std::copy(kStation.begin(), kStation.end(), spa.begin());
    const crypto::SecretBytes pmk(serverKey.begin(),
                                  serverKey.begin() + std::min<size_t>(32, serverKey.size()));
    const std::optional<rsn::Ptk> ptk = rsn::DerivePtk(pmk, aa, spa, *anonce, *snonce);
    ASSERT_TRUE(ptk);
    ASSERT_GE(world.station.keys.size(), 2u);
    const Bytes pairwise(world.station.keys[0].begin(), world.station.keys[0].end());
    ASSERT_EQ(pairwise.size(), 48u);
    EXPECT_EQ(Bytes(pairwise.begin() + 4, pairwise.begin() + 8), (Bytes{0, 0, 0, 0xC0}));
    EXPECT_EQ(Bytes(pairwise.begin() + 32, pairwise.end()), Bytes(ptk->tk.begin(), ptk->tk.end()));
  }

  // A wrong one: refused, the port closed, no key installed.
  void ExpectRefused() {
    const sim::RadioWorld world = sim->World();
    const auto messages = recorder.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), Code(HALVEX_MSG_SUPP_CONNECTED)), 0);
    EXPECT_EQ(ODSIM_PortState(Link()), 0);
    EXPECT_EQ(Bridge().PortOpen.load(), 0u);
    EXPECT_FALSE(world.current.has_value());
    EXPECT_FALSE(world.station.eapAuthorized);
    EXPECT_TRUE(world.station.keys.empty());
    EXPECT_FALSE(sim->PortOpen());
    EXPECT_EQ(HalvexGetWPASuppStatus(2), 3);
  }

  // The nonce of the first EAPOL-Key frame with `info` among Ethernet frames.
  template <typename Frames>
  static std::optional<rsn::Nonce> NonceOf(const Frames& frames, uint16_t info) {
    for (const auto& frame : frames) {
      if (frame.size() < 14) continue;
      const std::optional<rsn::KeyFrame> key = rsn::ParseKeyFrame(Bytes(frame.begin() + 14, frame.end()));
      if (key && key->info == info) return key->nonce;
    }
    return std::nullopt;
  }

  // The trace lines the library sent the window (message 1006).
  std::vector<std::string> TraceLines() const {
    std::vector<std::string> lines;
    for (const Message& m : recorder.Messages()) {
      if (m.code == HALVEX_MSG_TRACE_TEXT) lines.push_back(m.text);
    }
    return lines;
  }
};

}  // namespace hx::test
