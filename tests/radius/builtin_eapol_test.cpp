// eapol_test (wpa_supplicant's 802.1X test peer) judges the built-in RADIUS
// server: every method ends in SUCCESS with its MS-MPPE keys matching the
// peer's own MSK, and in FAILURE with a wrong credential.
#ifdef HALVEX_HAS_RADIUS
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "radius/builtin.h"
#include "radius/certificates.h"
#include "tests/support/eapol_test.h"

namespace hx::test {
namespace {

namespace fs = std::filesystem;

TEST(BuiltinRadiusTest, EapolTestSucceedsWithEachMethodAndFailsWithWrongCredentials) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("halvex_builtin_eapol-" + std::to_string(getpid()));
  fs::remove_all(dir);
  std::string error;
  // The peer's Called-Station-Id names no network: every network's users count.
  const std::unique_ptr<radius::BuiltinServer> server = radius::BuiltinServer::Start(
      dir, {{"HalvexCorp", {0x00, 0x11, 0x22, 0x33, 0x44, 0x05}, {{"alice", "s3cret"}, {"bob", "b0b"}}}},
      &error);
  ASSERT_TRUE(server) << error;
  const radius::BuiltinServerInfo info = server->Info();
  EXPECT_EQ(info.address.rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(info.caCertificate, (dir / "radius" / "ca.pem").string());
  const std::string ca = "ca_cert=\"" + info.caCertificate + "\"\n";
  const auto tls = [](const std::string& name, const fs::path& certificate, const fs::path& key) {
    return "eap=TLS\nidentity=\"" + name + "\"\nclient_cert=\"" + certificate.string() +
           "\"\nprivate_key=\"" + key.string() + "\"\n";
  };
  // A certificate from the server's own CA for a name no network knows.
  radius::CertificateFiles carol;
  ASSERT_TRUE(radius::EnsureCertificate(dir / "extra", "carol", "carol", false,
                                        {dir / "radius" / "ca.pem", dir / "radius" / "ca.key"}, &carol,
                                        &error));
  struct Case {
    const char* name;
    std::string network;
    bool success;
  } cases[] = {
      {"PEAP-MSCHAPv2", "eap=PEAP\nidentity=\"alice\"\npassword=\"s3cret\"\nphase2=\"auth=MSCHAPV2\"\n",
       true},
      {"PEAP-MSCHAPv2, wrong password",
       "eap=PEAP\nidentity=\"alice\"\npassword=\"s3cret?\"\nphase2=\"auth=MSCHAPV2\"\n", false},
      {"PEAP-GTC", "eap=PEAP\nidentity=\"bob\"\npassword=\"b0b\"\nphase2=\"auth=GTC\"\n", true},
      {"PEAP-GTC, wrong password", "eap=PEAP\nidentity=\"bob\"\npassword=\"bob\"\nphase2=\"auth=GTC\"\n",
       false},
      {"TTLS-PAP", "eap=TTLS\nidentity=\"alice\"\npassword=\"s3cret\"\nphase2=\"auth=PAP\"\n", true},
      {"TTLS-PAP, no such user", "eap=TTLS\nidentity=\"carol\"\npassword=\"s3cret\"\nphase2=\"auth=PAP\"\n",
       false},
      {"TTLS-MSCHAPv2",
       "eap=TTLS\nidentity=\"bob\"\nanonymous_identity=\"anon\"\npassword=\"b0b\"\nphase2=\"auth="
       "MSCHAPV2\"\n",
       true},
      {"TTLS-MSCHAPv2, wrong password",
       "eap=TTLS\nidentity=\"bob\"\npassword=\"s3cret\"\nphase2=\"auth=MSCHAPV2\"\n", false},
      {"EAP-TLS", tls("alice", server->UserCertificate("alice"), server->UserKey("alice")), true},
      {"LEAP", "eap=LEAP\nidentity=\"alice\"\npassword=\"s3cret\"\n", true},
      {"LEAP, wrong password", "eap=LEAP\nidentity=\"alice\"\npassword=\"S3cret\"\n", false},
      {"EAP-TLS, a certificate for no user", tls("carol", carol.certificate, carol.key), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    const std::optional<std::string> output =
        RunEapolTest("key_mgmt=WPA-EAP\n" + c.network + ca, info.address, info.secret, &why);
    if (!output) GTEST_SKIP() << why;
    const std::string last = output->substr(output->rfind("\n", output->size() - 2) + 1);
    EXPECT_EQ(last, c.success ? "SUCCESS\n" : "FAILURE\n") << *output;
    if (c.success) {
      EXPECT_NE(output->find("MPPE keys OK: 1  mismatch: 0"), std::string::npos) << *output;
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace hx::test
#endif
