// WPA2-Enterprise joins end to end against the built-in RADIUS server: the
// utility's calls, the library, the stand-in toolkit's EAP methods and
// 4-way handshake, the simulated access point relaying to the server. Every
// method with a right and a wrong credential, the GTC response the utility
// stored, and a server the station does not trust. (Without a TLS library the
// TLS-based methods say so at once.)
#include <unistd.h>
#include <algorithm>

#include <filesystem>
#include <string>

#include "eap/tls.h"
#include "tests/supplicant/enterprise_fixture.h"
#ifdef HALVEX_HAS_RADIUS
#include "radius/builtin.h"
#include "radius/certificates.h"
#endif

namespace hx::test {
namespace {

#ifdef HALVEX_HAS_RADIUS

namespace fs = std::filesystem;

class BuiltinJoinTest : public EnterpriseJoinTest {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::path(::testing::TempDir()) / ("halvex_builtin_join-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    std::string error;
    radius::BuiltinNetwork corp{"HalvexCorp", {0x00, 0x11, 0x22, 0x33, 0x44, 0x05}, {{"alice", "s3cret"}}};
    server_ = radius::BuiltinServer::Start(dir_, {corp}, &error).release();
    ASSERT_NE(server_, nullptr) << error;
    // A CA the server does not know, and a certificate for alice from it.
    radius::CertificateFiles otherCa, stranger;
    ASSERT_TRUE(radius::EnsureCa(dir_ / "other", &otherCa, &error)) << error;
    ASSERT_TRUE(
        radius::EnsureCertificate(dir_ / "other", "alice", "alice", false, otherCa, &stranger, &error));
    otherCa_ = otherCa.certificate.string();
    stranger_ = stranger;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    fs::remove_all(dir_);
  }
  void SetUp() override {
    EnterpriseJoinTest::SetUp();
    ASSERT_NE(server_, nullptr);
    const radius::BuiltinServerInfo info = server_->Info();
    UseServer({info.address, info.secret}, info.caCertificate);
    HalvexWPATrace(1);
  }

  inline static fs::path dir_;
  inline static radius::BuiltinServer* server_ = nullptr;
  inline static std::string otherCa_;
  inline static radius::CertificateFiles stranger_;
};

TEST_F(BuiltinJoinTest, EveryMethodWithARightAndAWrongCredential) {
  const std::string cert = server_->UserCertificate("alice").string();
  const std::string key = server_->UserKey("alice").string();
  const JoinCase cases[] = {
      {"PEAP-MSCHAPv2", "peap", "alice", "s3cret", "", "", true},
      {"PEAP-MSCHAPv2, wrong password", "peap", "alice", "s3cret!", "", "", false},
      {"PEAP-MSCHAPv2, no such user", "peap", "mallory", "s3cret", "", "", false},
      {"PEAP-GTC", "peap-gtc", "alice", "s3cret", "", "", true},
      {"PEAP-GTC, wrong password", "peap-gtc", "alice", "secret", "", "", false},
      {"TTLS-PAP", "ttls-pap", "alice", "s3cret", "", "", true},
      {"TTLS-PAP, wrong password", "ttls-pap", "alice", "s3cre", "", "", false},
      {"TTLS-MSCHAPv2", "ttls-mschapv2", "alice", "s3cret", "", "", true},
      {"TTLS-MSCHAPv2, wrong password", "ttls-mschapv2", "alice", "S3cret", "", "", false},
      {"EAP-TLS", "tls", "alice", "", cert, key, true},
      {"EAP-TLS, a certificate from another CA", "tls", "alice", "", stranger_.certificate.string(),
       stranger_.key.string(), false},
      {"LEAP", "leap", "alice", "s3cret", "", "", true},
      {"LEAP, wrong password", "leap", "alice", "s3cret2", "", "", false},
  };
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.name);
    Join(c);
    if (c.right) {
      ExpectConnectedOn(sim->World().station.eapPmk, c.method);
      EXPECT_EQ(sim->World().station.eapIdentity,
                c.method == std::string("ttls-pap") || c.method == std::string("ttls-mschapv2") ? "anonymous"
                                                                                                : c.user);
    } else {
      ExpectRefused();
    }
    Leave();
  }
}

TEST_F(BuiltinJoinTest, StoredGtcResponseAnswersTheTokenRequest) {
  // The password is wrong; the GTC response the utility gave is what the
  // network takes.
  char user[] = "alice", domain[] = "CORP", password[] = "guess", response[] = "s3cret";
  ULONG methods[] = {2};
  ODSIM_RecordSecrets(1);  // the answer's bytes are the response's
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user, domain, password, methods, 1, 0, response), 0);
  char ssid[] = "HalvexCorp";
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 10, kAes, nullptr, ssid), 0);
  HalvexSetAuthMode(adapter, kWpa2);
  HalvexSetWepStatus(adapter, kAesEnabled);
  ASSERT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
  WaitFor([](const Message& m) { return m.code == HALVEX_MSG_SUPP_CONNECTED; });
  EXPECT_TRUE(sim->World().station.eapAuthorized);
  EXPECT_EQ(sim->World().station.eapIdentity, "CORP\\alice");
  const Calls calls = odsim::Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "ODSTK_AllocBlob(blob, [73 33 63 72 65 74], 6)"),
            calls.end());
  EXPECT_EQ(ODSIM_LiveBlobs(), 0u);  // the toolkit freed the answer it read
}

TEST_F(BuiltinJoinTest, AServerCertificateFromAnUntrustedCaIsRefused) {
  ASSERT_EQ(ODSIM_TrustCertificateFile(nullptr), 0);  // the store forgets the server's CA
  ASSERT_EQ(ODSIM_TrustCertificateFile(otherCa_.c_str()), 0);
  Join({"PEAP, untrusted server", "peap", "alice", "s3cret", "", "", false});
  ExpectRefused();
  const std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("[ERR] EAP failed: the server's certificate was not accepted") == 0;
  })) << ::testing::PrintToString(lines);
  const auto messages = recorder.Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), Text("Validate server certificate")), 0)
      << "a certificate that does not chain to a trusted CA is not even shown";
  // And with no CA at all to check against, nothing is trusted.
  ASSERT_EQ(ODSIM_TrustCertificateFile(nullptr), 0);
  Join({"PEAP, nothing trusted", "peap", "alice", "s3cret", "", "", false});
  ExpectRefused();
}

#else  // no TLS library, no RADIUS

TEST(WpaJoinWithoutTlsTest, TlsMethodsSayTheyAreUnavailable) {
  ASSERT_FALSE(eap::TlsAvailable());
}

class UnavailableMethodTest : public EnterpriseJoinTest {};

TEST_F(UnavailableMethodTest, TlsBasedMethodsFailAtOnceNamingTheMethod) {
  EngineAndNetwork(sim::EnterpriseAccessPoint("HalvexCorp", 0x05, 6, {{"alice", "s3cret"}}));
  HalvexWPATrace(1);
  const struct {
    const char* method;
    const char* line;
  } cases[] = {
      {"peap",
       "[ERR] EAP failed: PEAP is unavailable in the stand-in toolkit of this build: it has no TLS library"},
      {"ttls-pap",
       "[ERR] EAP failed: EAP-TTLS is unavailable in the stand-in toolkit of this build: it has no TLS "
       "library"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    Join({c.method, c.method, "alice", "s3cret", "", "", false});
    const std::vector<std::string> lines = TraceLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << ::testing::PrintToString(lines);
    HalvexWPAPortDown();
  }
}

#endif

}  // namespace
}  // namespace hx::test
