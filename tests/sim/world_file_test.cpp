// The access-points file's security entries: WPA with TKIP, and the 802.1X
// networks' users and RADIUS servers, as people write them, and what is
// said of each fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/world_file.h"

namespace hx::test {
namespace {

std::optional<std::vector<sim::AccessPoint>> Read(const std::string& entry, std::string* error) {
  return sim::ParseAccessPoints(R"({"accessPoints": [)" + entry + "]}", error);
}

TEST(WorldFileTest, SecurityEntriesAreRead) {
  std::string error;
  const auto wpa = Read(R"({"ssid": "W", "security": "wpa-psk", "passphrase": "12345678"})", &error);
  ASSERT_TRUE(wpa) << error;
  EXPECT_TRUE((*wpa)[0].tkip);
  EXPECT_EQ((*wpa)[0].passphrase, "12345678");
  const auto wpa2 = Read(R"({"ssid": "W", "security": "wpa2-psk", "passphrase": "12345678"})", &error);
  ASSERT_TRUE(wpa2) << error;
  EXPECT_FALSE((*wpa2)[0].tkip);

  const auto corp = Read(R"({"ssid": "C", "security": "wpa2-eap",
      "users": [{"name": "alice", "password": "a"}, {"name": "bob", "password": ""}],
      "radius": {"server": "10.0.0.2:1812", "secret": "s"}})",
                         &error);
  ASSERT_TRUE(corp) << error;
  const sim::AccessPoint& ap = (*corp)[0];
  EXPECT_TRUE(ap.enterprise);
  EXPECT_EQ(ap.users, (std::vector<sim::NetworkUser>{{"alice", "a"}, {"bob", ""}}));
  ASSERT_TRUE(ap.radius);
  EXPECT_EQ(*ap.radius, (sim::RadiusServerConfig{"10.0.0.2:1812", "s"}));
  // A file of before: one password, any user name.
  const auto old = Read(R"({"ssid": "C", "security": "wpa2-eap", "password": "s3cret"})", &error);
  ASSERT_TRUE(old) << error;
  EXPECT_EQ((*old)[0].users, (std::vector<sim::NetworkUser>{{"*", "s3cret"}}));
  EXPECT_FALSE((*old)[0].radius);
  // A server of its own needs no users here.
  EXPECT_TRUE(Read(
      R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "127.0.0.1:1", "secret": "s"}})", &error))
      << error;
}

TEST(WorldFileTest, FaultsInEnterpriseEntriesAreSaid) {
  struct Case {
    std::string entry, said;
  } cases[] = {
      {R"({"ssid": "C", "security": "wpa2-eap"})", "access point 1: \"users\" is missing"},
      {R"({"ssid": "C", "security": "wpa2-eap", "users": {}})", "\"users\" is not a list"},
      {R"({"ssid": "C", "security": "wpa2-eap", "users": [{"password": "x"}]})", "user 1: \"name\" must be"},
      {R"({"ssid": "C", "security": "wpa2-eap", "users": [{"name": "a"}]})", "user 1: \"password\" must be"},
      {R"({"ssid": "C", "security": "wpa2-eap", "users": [{"name": "", "password": "x"}]})",
       "\"name\" must be"},
      {R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "radius.example:1812", "secret": "s"}})",
       "\"server\" must be an address and port"},
      {R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "127.0.0.1", "secret": "s"}})",
       "\"server\" must be an address and port"},
      {R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "127.0.0.1:70000", "secret": "s"}})",
       "\"server\" must be an address and port"},
      {R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "127.0.0.1:1812"}})",
       "\"secret\" must be a text"},
      {R"({"ssid": "C", "security": "wpa2-eap", "radius": {"server": "127.0.0.1:1812", "secret": ""}})",
       "\"secret\" must be a text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    std::string error;
    EXPECT_FALSE(Read(c.entry, &error));
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
  }
}

TEST(WorldFileTest, TheDefaultFileJoinsEveryNetworkWithItsOwnCredentials) {
  std::string error;
  const auto points = sim::ParseAccessPoints(sim::DefaultAccessPointsText(), &error);
  ASSERT_TRUE(points) << error;
  std::vector<std::string> kinds;
  for (const sim::AccessPoint& ap : *points) {
    kinds.push_back(ap.ssid + (ap.tkip ? " tkip" : "") + (ap.enterprise ? " 802.1X" : ""));
    if (ap.enterprise) {
      EXPECT_FALSE(ap.radius) << "the built-in server";
      EXPECT_EQ(ap.users, (std::vector<sim::NetworkUser>{{"alice", "s3cret"}, {"bob", "bob-pass-2"}}));
    }
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"HalvexOpen", "HalvexWPA tkip", "HalvexWPA2", "HalvexWEP",
                                             "HalvexCorp 802.1X"}));
}

}  // namespace
}  // namespace hx::test
