// What halvexctl makes of the driver's scan list and of typed keys: hostile
// lists never make it read past an entry.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/parameters.h"
#include "tools/text.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutWord(Bytes& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// One NDIS_WLAN_BSSID_EX entry: fixed part, 12 fixed element bytes, then `elements`.
Bytes Entry(const char* ssid, int32_t rssi, uint32_t kHz, uint32_t privacy, const Bytes& elements) {
  Bytes e(128 + elements.size(), 0);
  PutWord(e, 0, static_cast<uint32_t>(e.size()));
  for (int i = 0; i < 6; ++i) e[4 + i] = static_cast<uint8_t>(0xA0 + i);
  const size_t n = std::char_traits<char>::length(ssid);
  PutWord(e, 12, static_cast<uint32_t>(n));
  std::copy(ssid, ssid + n, e.begin() + 16);
  PutWord(e, 48, privacy);
  PutWord(e, 52, static_cast<uint32_t>(rssi));
  PutWord(e, 72, kHz);
  PutWord(e, 112, static_cast<uint32_t>(12 + elements.size()));
  std::copy(elements.begin(), elements.end(), e.begin() + 128);
  return e;
}

Bytes List(std::vector<Bytes> entries, uint32_t count) {
  Bytes list(4, 0);
  PutWord(list, 0, count);
  for (const Bytes& e : entries) list.insert(list.end(), e.begin(), e.end());
  return list;
}

// RSN element: version 1, CCMP group, one CCMP pairwise, one AKM suite.
Bytes Rsn(uint8_t akm) {
  return {48, 20, 1, 0, 0x00, 0x0F, 0xAC, 4, 1, 0, 0x00, 0x0F, 0xAC, 4, 1, 0, 0x00, 0x0F, 0xAC, akm, 0, 0};
}
Bytes Wpa(uint8_t akm) {
  return {221, 22, 0x00, 0x50, 0xF2, 1, 1, 0, 0x00, 0x50, 0xF2, 2,
          1,   0,  0x00, 0x50, 0xF2, 2, 1, 0, 0x00, 0x50, 0xF2, akm};
}

TEST(ScanListTest, SecurityChannelAndOrderComeFromTheEntries) {
  const struct {
    Bytes elements;
    uint32_t privacy;
    const char* security;
  } rows[] = {
      {{}, 0, "open"},
      {{}, 1, "WEP"},
      {Rsn(2), 1, "WPA2-PSK"},
      {Rsn(1), 1, "WPA2-EAP"},
      {Wpa(2), 1, "WPA-PSK"},
      {Wpa(1), 1, "WPA-EAP"},
      {[] {
         Bytes both = Wpa(2);
         Bytes rsn = Rsn(2);
         both.insert(both.end(), rsn.begin(), rsn.end());
         return both;
       }(),
       1, "WPA2-PSK"},
      // An RSN element cut before its AKM list announces 802.1X at most.
      {{48, 6, 1, 0, 0x00, 0x0F, 0xAC, 4}, 1, "WPA2-EAP"},
      // An element claiming more bytes than there are is not read.
      {{48, 200, 1, 0}, 1, "WEP"},
  };
  for (const auto& row : rows) {
    const Bytes list = List({Entry("Net", -60, 2437000, row.privacy, row.elements)}, 1);
    const auto networks = halvexctl::ReadScanList(list.data(), list.size());
    ASSERT_EQ(networks.size(), 1u);
    EXPECT_EQ(networks[0].security, row.security);
    EXPECT_EQ(networks[0].channel, 6u);
    EXPECT_EQ(networks[0].rssi, -60);
    EXPECT_EQ(networks[0].ssid, "Net");
  }
  const Bytes two = List({Entry("Weak", -80, 2412000, 0, {}), Entry("Strong", -40, 2484000, 0, {})}, 2);
  const auto sorted = halvexctl::ReadScanList(two.data(), two.size());
  ASSERT_EQ(sorted.size(), 2u);
  EXPECT_EQ(sorted[0].ssid, "Strong");
  EXPECT_EQ(sorted[0].channel, 14u);
  EXPECT_EQ(sorted[1].channel, 1u);
}

TEST(ScanListTest, HostileListsStopAtTheFirstBadEntry) {
  const Bytes good = Entry("Ok", -50, 2437000, 0, Rsn(2));
  struct Row {
    const char* what;
    Bytes list;
    size_t expected;
  };
  Bytes shortLength = good;
  PutWord(shortLength, 0, 100);  // below the fixed part
  Bytes longLength = good;
  PutWord(longLength, 0, 5000);  // past the list
  Bytes bigElements = good;
  PutWord(bigElements, 112, 1000);  // elements past the entry
  Bytes longSsid = good;
  PutWord(longSsid, 12, 0xFFFFFFFF);  // read as at most 32 bytes
  const Row rows[] = {
      {"count beyond the entries", List({good}, 7), 1},
      {"entry cut short",
       [&] {
         Bytes l = List({good, good}, 2);
         l.resize(l.size() - 10);
         return l;
       }(),
       1},
      {"Length below the fixed part", List({shortLength, good}, 2), 0},
      {"Length past the list", List({good, longLength}, 2), 1},
      {"elements past the entry", List({bigElements}, 1), 0},
      {"SSID length past its field", List({longSsid}, 1), 1},
      {"no count", Bytes{1, 0}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // A copy of exactly the list's size, so a read past it is caught by ASan.
    const std::vector<uint8_t> exact(row.list.begin(), row.list.end());
    const auto networks = halvexctl::ReadScanList(exact.data(), exact.size());
    EXPECT_EQ(networks.size(), row.expected);
    for (const auto& n : networks) EXPECT_LE(n.ssid.size(), 32u);
  }
}

TEST(TextTest, KeysBarsChannelsAndEscapes) {
  EXPECT_EQ(halvexctl::WepKeyBytes("Key!!"), std::string("Key!!"));
  EXPECT_EQ(halvexctl::WepKeyBytes("4B6579FF21"), std::string("\x4B\x65\x79\xFF\x21"));
  EXPECT_EQ(halvexctl::WepKeyBytes("0123456789abcdef0123456789").value().size(), 13u);
  for (const char* bad : {"", "Key!", "Key!!!", "4B6579FF2G", "0123456789abcdef012345678"})
    EXPECT_FALSE(halvexctl::WepKeyBytes(bad).has_value()) << bad;
  const std::pair<int32_t, int> bars[] = {{-30, 4}, {-55, 4}, {-56, 3}, {-65, 3}, {-66, 2},
                                          {-75, 2}, {-76, 1}, {-85, 1}, {-86, 0}, {-120, 0}};
  for (const auto& [dbm, count] : bars) EXPECT_EQ(halvexctl::Bars(dbm), count) << dbm;
  EXPECT_EQ(halvexctl::BarsText(-70), "**--");
  const std::pair<uint32_t, uint32_t> channels[] = {
      {2412000, 1}, {2472000, 13}, {2484000, 14}, {2400000, 0}, {5180000, 36}, {4920000, 184}, {0, 0}};
  for (const auto& [kHz, channel] : channels) EXPECT_EQ(halvexctl::ChannelOf(kHz), channel) << kHz;
  const std::pair<std::string, std::string> escapes[] = {
      {std::string("a\x1b[2Jb\x7f\n", 8), "a\\x1B[2Jb\\x7F\\x0A"},
      {std::string("\0x", 2), "\\x00x"},
      {"caf\xC3\xA9 \xE2\x96\x87 \xF0\x9F\x93\xB6",
       "caf\xC3\xA9 \xE2\x96\x87 \xF0\x9F\x93\xB6"},  // é ▇ and a 4-byte one
      {"\xC2\x9B"
       "2J",
       "\\xC2\\x9B2J"},          // U+009B, the 8-bit CSI
      {"\xC2\xA0", "\xC2\xA0"},  // U+00A0 is printable
      {"\x9B"
       "2J\xFF",
       "\\x9B2J\\xFF"},                     // not UTF-8
      {"\xC0\xAF", "\\xC0\\xAF"},           // an overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},  // a surrogate
      {"\xE2\x96", "\\xE2\\x96"},           // cut short
      {"a:b\\c", "a:b\\c"},
  };
  for (const auto& [bytes, shown] : escapes) EXPECT_EQ(halvexctl::Escape(bytes), shown) << shown;
  EXPECT_EQ(halvexctl::TerseField("a:b\\c\x1b"), "a\\:b\\\\c\\x1B");
  EXPECT_TRUE(halvexctl::IsUtf8("caf\xC3\xA9"));
  EXPECT_FALSE(halvexctl::IsUtf8("caf\xE9"));
  const std::pair<uint32_t, uint32_t> frequencies[] = {{1, 2412},  {6, 2437}, {13, 2472}, {14, 2484},
                                                       {36, 5180}, {0, 0},    {15, 0},    {200, 0}};
  for (const auto& [channel, mhz] : frequencies) EXPECT_EQ(halvexctl::FrequencyOf(channel), mhz) << channel;
  const std::pair<std::string, bool> psks[] = {
      {"12345678", true},           {"1234567", false},
      {std::string(63, 'p'), true}, {std::string(64, 'p'), false},
      {std::string(64, 'A'), true}, {std::string(63, 'A') + "g", false},
      {"pass\tphrase", false}};
  for (const auto& [text, ok] : psks) EXPECT_EQ(halvexctl::IsPskText(text), ok) << text;
  const unsigned char mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  EXPECT_EQ(halvexctl::MacText(mac), "00:1A:2B:3C:4D:5E");
}

}  // namespace

namespace {

TEST(ParameterTest, TypedValuesAndStoredForms) {
  const halvexctl::Parameter& power = *halvexctl::FindParameter("tx-power");
  struct Typed {
    const char* text;
    std::optional<uint32_t> value;
    const char* why;
  };
  const Typed typed[] = {{"40", 40, ""},
                         {"0x28", 40, ""},
                         {"100", 100, ""},
                         {"101", std::nullopt, "101 is outside 0..100"},
                         {"-5", std::nullopt, "-5 is outside 0..100"},
                         {"-0x5", std::nullopt, "-0x5 is outside 0..100"},
                         {"18446744073709551616", std::nullopt, "18446744073709551616 is outside 0..100"},
                         {"4x", std::nullopt, "not a number"},
                         {"", std::nullopt, "not a number"},
                         {"-", std::nullopt, "not a number"}};
  for (const Typed& t : typed) {
    std::string why;
    EXPECT_EQ(halvexctl::ParseValue(power, t.text, &why), t.value) << t.text;
    EXPECT_EQ(why, t.why) << t.text;
  }
  std::string why;
  EXPECT_EQ(halvexctl::ParseValue(*halvexctl::FindParameter("preamble"), "short", &why), 1u);
  EXPECT_FALSE(halvexctl::ParseValue(*halvexctl::FindParameter("preamble"), "3", &why));
  EXPECT_EQ(why, "3 is outside 0..2");

  using halvexctl::Form;
  const struct {
    const char* text;
    Form form;
    std::optional<uint32_t> value;
  } stored[] = {{"16", Form::kHexadecimal, 22},
                {"1FFF", Form::kHexadecimal, 0x1FFF},
                {"16", Form::kDecimal, 16},
                {"-16", Form::kDecimal, 0xFFFFFFF0},
                {"-2147483648", Form::kDecimal, 0x80000000},
                {"4294967295", Form::kDecimal, 0xFFFFFFFF},
                {"4294967296", Form::kDecimal, std::nullopt},
                {"-2147483649", Form::kDecimal, std::nullopt},
                {"", Form::kDecimal, std::nullopt},
                {"4 0", Form::kDecimal, std::nullopt},
                {"G", Form::kHexadecimal, std::nullopt}};
  for (const auto& s : stored) EXPECT_EQ(halvexctl::StoredNumber(s.text, s.form), s.value) << s.text;
  EXPECT_EQ(halvexctl::StoredNumber(std::string_view("40\0", 3), Form::kDecimal), 40u);
  EXPECT_EQ(halvexctl::StoredText(22, Form::kHexadecimal), "16");
  EXPECT_EQ(halvexctl::StoredText(0xFFFFFFF0, Form::kDecimal), "-16");
  const std::pair<const char*, std::optional<Form>> forms[] = {{"DataRate", Form::kHexadecimal},
                                                               {"txantenna", Form::kHexadecimal},
                                                               {"ChannelRange", Form::kHexadecimal},
                                                               {"TxPowerLvl", Form::kDecimal},
                                                               {"Wireless Mode", Form::kDecimal},
                                                               {"WepKeySize", Form::kDecimal},
                                                               {"WepKey1", std::nullopt},
                                                               {"DesiredSSID", std::nullopt}};
  for (const auto& [name, form] : forms) EXPECT_EQ(halvexctl::StoredFormOf(name), form) << name;
}

}  // namespace
