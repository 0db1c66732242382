// FreeRADIUS judges the stand-in toolkit's methods: joins through the
// library's exports against it (the simulated access point relaying to it),
// each with the right credential (FreeRADIUS sends Access-Accept, and the TK
// installed through the library is the one its MS-MPPE-Recv-Key makes) and a
// wrong one (Access-Reject, nothing installed); a server certificate the
// station does not trust; and eapol_test against the same server, as the
// control that the server is set up right.
#ifdef HALVEX_HAS_RADIUS
#include <filesystem>
#include <string>

#include "radius/certificates.h"
#include "tests/supplicant/enterprise_fixture.h"
#include "tests/support/eapol_test.h"
#include "tests/support/freeradius.h"

namespace hx::test {
namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class FreeRadiusTest : public EnterpriseJoinTest {
 protected:
  static void TearDownTestSuite() { FreeRadius::StopShared(); }

  void SetUp() override {
    EnterpriseJoinTest::SetUp();
    std::string why;
    server_ = FreeRadius::Shared(&why);
    if (server_ == nullptr) GTEST_SKIP() << why;
    UseServer({server_->Address(), server_->Secret()}, server_->CaFile());
    HalvexWPATrace(1);
  }

  FreeRadius* server_ = nullptr;
};

TEST_F(FreeRadiusTest, JoinsThroughTheLibraryAreJudgedByFreeRadius) {
  // A certificate from a CA FreeRADIUS does not know.
  const fs::path other = fs::path(server_->Directory()) / "other";
  radius::CertificateFiles otherCa, stranger;
  std::string error;
  ASSERT_TRUE(radius::EnsureCa(other, &otherCa, &error)) << error;
  ASSERT_TRUE(radius::EnsureCertificate(other, "client", FreeRadius::CertificateUser(), false, otherCa,
                                        &stranger, &error));
  const std::string user = FreeRadius::User(), password = FreeRadius::Password();
  const JoinCase cases[] = {
      {"PEAP-MSCHAPv2", "peap", user, password, "", "", true},
      {"PEAP-MSCHAPv2, wrong password", "peap", user, "not-" + password, "", "", false},
      {"PEAP-GTC", "peap-gtc", user, password, "", "", true},
      {"PEAP-GTC, wrong password", "peap-gtc", user, password + "!", "", "", false},
      {"TTLS-PAP", "ttls-pap", user, password, "", "", true},
      {"TTLS-PAP, wrong password", "ttls-pap", user, "guess", "", "", false},
      {"TTLS-MSCHAPv2", "ttls-mschapv2", user, password, "", "", true},
      {"TTLS-MSCHAPv2, no such user", "ttls-mschapv2", "mallory", password, "", "", false},
      {"EAP-TLS", "tls", FreeRadius::CertificateUser(), "", server_->ClientCertificate(),
       server_->ClientKey(), true},
      {"EAP-TLS, a certificate from another CA", "tls", FreeRadius::CertificateUser(), "",
       stranger.certificate.string(), stranger.key.string(), false},
  };
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = server_->Log();
    const size_t accepts = Count(before, "Sent Access-Accept"), rejects = Count(before, "Sent Access-Reject");
    Join(c);
    const std::string verdict = c.right ? "Sent Access-Accept" : "Sent Access-Reject";
    const size_t expected = (c.right ? accepts : rejects) + 1;
    ASSERT_TRUE(server_->WaitForLog([&](const std::string& log) { return Count(log, verdict) >= expected; }))
        << "FreeRADIUS did not log " << verdict;
    if (c.right) {
      const std::optional<std::vector<uint8_t>> key = LastAcceptedRecvKey(server_->Log());
      ASSERT_TRUE(key);
      ASSERT_EQ(key->size(), 32u);
      ExpectConnectedOn(crypto::SecretBytes(key->begin(), key->end()), c.method);
      EXPECT_EQ(Count(server_->Log(), "Sent Access-Accept"), accepts + 1);
    } else {
      ExpectRefused();
      EXPECT_EQ(Count(server_->Log(), "Sent Access-Accept"), accepts);
    }
    Leave();
  }
}

TEST_F(FreeRadiusTest, AServerCertificateTheStationDoesNotTrustIsRefused) {
  const fs::path other = fs::path(server_->Directory()) / "untrusted";
  radius::CertificateFiles otherCa;
  std::string error;
  ASSERT_TRUE(radius::EnsureCa(other, &otherCa, &error)) << error;
  ASSERT_EQ(ODSIM_TrustCertificateFile(nullptr), 0);
  ASSERT_EQ(ODSIM_TrustCertificateFile(otherCa.certificate.c_str()), 0);
  const size_t accepts = Count(server_->Log(), "Sent Access-Accept");
  Join({"PEAP, untrusted", "peap", FreeRadius::User(), FreeRadius::Password(), "", "", false});
  ExpectRefused();
  const std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("the server's certificate was not accepted") != std::string::npos;
  })) << ::testing::PrintToString(lines);
  EXPECT_EQ(Count(server_->Log(), "Sent Access-Accept"), accepts);
}

// The control: wpa_supplicant's own peer, against the same configuration.
TEST_F(FreeRadiusTest, EapolTestSucceedsAgainstTheSameServer) {
  std::string why;
  const std::optional<std::string> output = RunEapolTest(
      "key_mgmt=WPA-EAP\neap=PEAP\nidentity=\"" + FreeRadius::User() + "\"\npassword=\"" +
          FreeRadius::Password() + "\"\nca_cert=\"" + server_->CaFile() + "\"\nphase2=\"auth=MSCHAPV2\"\n",
      server_->Address(), server_->Secret(), &why);
  if (!output) GTEST_SKIP() << why;
  EXPECT_NE(output->find("MPPE keys OK: 1  mismatch: 0"), std::string::npos) << *output;
  EXPECT_EQ(output->substr(output->rfind("\n", output->size() - 2) + 1), "SUCCESS\n");
}

}  // namespace
}  // namespace hx::test
#endif
