// Scan list and association information: passed through, with their lengths.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "frame/oids.h"
#include "query/query.h"
#include "tests/support/fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;

constexpr ULONG kScanBuffer = 24576;
constexpr uint32_t kFailed = 0xC0000001;

class ListsTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
};

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

uint32_t Word(const uint8_t* p) {
  return sim::ReadWord(p);
}

// The two scan-list queries, as one callable: `returned` is untouched by the first.
struct ScanQuery {
  const char* name;
  uint32_t oid;
  int (*run)(void*, unsigned char*, ULONG, ULONG&);
};
const ScanQuery kScanQueries[] = {
    {"ScanList", OID_802_11_BSSID_LIST,
     [](void* a, unsigned char* b, ULONG n, ULONG&) { return HalvexQueryScanList(a, b, n); }},
    {"ScanListLength", OID_HALVEX_SCAN_LIST, HalvexQueryScanListLength},
};

TEST_F(ListsTest, ClosedAdapterReturnsOneAndLeavesZeros) {
  for (const ScanQuery& q : kScanQueries) {
    SCOPED_TRACE(q.name);
    std::vector<unsigned char> buffer(300, 0xAB);
    ULONG returned = 0;
    void* closed = nullptr;
    EXPECT_EQ(q.run(closed, buffer.data(), 300, returned), 1);
    EXPECT_EQ(buffer, std::vector<unsigned char>(300, 0));
  }
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(ListsTest, ScanListLengthReportsTrueLengthOrTheCallersLength) {
  const Bytes list = sim->World().ScanList(kScanBuffer);
  struct Case {
    const char* name;
    std::optional<Response> script;
    int result;
    ULONG returned;
  } cases[] = {
      {"answered", std::nullopt, 0, static_cast<ULONG>(list.size())},
      {"answer with a count", Response{Response::Kind::kAnswer, 0, Bytes(64, 1), 4 + 40, false}, 0, 40},
      {"refused", Response::Fail(kFailed), 1, kScanBuffer},
      {"refused with driver status", Response::Fail(0xC0010017), static_cast<int>(0xC0010017), kScanBuffer},
      // The channel takes this as an answer but has no count for it.
      {"failed with data", Response::FailWithData(kFailed, Bytes(60, 2), 64), 0, kScanBuffer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.script) sim->Script(OID_HALVEX_SCAN_LIST, *c.script);
    std::vector<unsigned char> buffer(kScanBuffer, 0xCD);
    ULONG returned = 12345;
    EXPECT_EQ(HalvexQueryScanListLength(adapter, buffer.data(), kScanBuffer, returned), c.result);
    EXPECT_EQ(returned, c.returned);
    if (c.result != 0) {
      EXPECT_EQ(buffer, std::vector<unsigned char>(kScanBuffer, 0));
    }
    sim->ClearScript(OID_HALVEX_SCAN_LIST);
  }
}

TEST_F(ListsTest, ScanListBadBufferSendsNothingAndKeepsReturned) {
  GuardedBuffer buffer(100);
  ASSERT_TRUE(buffer.ok());
  ULONG returned = 777;
  EXPECT_EQ(HalvexQueryScanListLength(adapter, buffer.data(), 101, returned), 3);
  EXPECT_EQ(HalvexQueryScanList(adapter, buffer.data(), 101), 3);
  EXPECT_EQ(returned, 777u);
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(ListsTest, CopiesBackAtMostTheCallersLength) {
  // The driver answers far more than asked for and claims even more.
  const Bytes answer = Pattern(4000, 3);
  for (const ScanQuery& q : kScanQueries) {
    SCOPED_TRACE(q.name);
    for (ULONG length : {1u, 7u, 200u, 1024u}) {
      SCOPED_TRACE(length);
      sim->Script(q.oid, Response{Response::Kind::kAnswer, 0, answer, 9000, false});
      GuardedBuffer buffer(length);  // a write past `length` faults
      ASSERT_TRUE(buffer.ok());
      ULONG returned = 0;
      EXPECT_EQ(q.run(adapter, buffer.data(), length, returned), 0);
      EXPECT_EQ(Bytes(buffer.data(), buffer.data() + length), Bytes(answer.begin(), answer.begin() + length));
    }
  }
}

struct Entry {
  std::string ssid;
  Bytes bssid;
  ULONG channel;
  ULONG privacy;
  Bytes ies;  // the variable elements after the 12 fixed bytes
};

// Reads a list the way its consumer does: by the fields' offsets.
std::vector<Entry> ParseList(const unsigned char* list, ULONG size) {
  std::vector<Entry> entries;
  const uint32_t count = Word(list);
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_LE(at + 128, size);
    if (at + 128 > size) break;
    const unsigned char* e = list + at;
    const uint32_t length = Word(e);
    const uint32_t ieLength = Word(e + 112);
    EXPECT_EQ(length % 4, 0u);
    EXPECT_GE(ieLength, 12u);
    EXPECT_GE(length, 116 + ieLength);
    EXPECT_LT(length, 116 + ieLength + 4) << "the distance to the next entry";
    EXPECT_LE(at + length, size);
    if (at + length > size || ieLength < 12) break;
    const uint32_t ssidLength = Word(e + 12);
    EXPECT_LE(ssidLength, 32u);
    NDIS_802_11_CONFIGURATION config;
    std::memcpy(&config, e + offsetof(NDIS_WLAN_BSSID_EX, Configuration), sizeof config);
    entries.push_back({std::string(reinterpret_cast<const char*>(e + 16), std::min<uint32_t>(ssidLength, 32)),
                       Bytes(e + 4, e + 10), ChannelFromDsConfig(config.DSConfig),
                       Word(e + offsetof(NDIS_WLAN_BSSID_EX, Privacy)), Bytes(e + 128, e + 116 + ieLength)});
    at += length;
  }
  return entries;
}

// The element with `id` (and for vendor elements, `oui` type 1) or empty.
Bytes FindElement(const Bytes& ies, uint8_t id) {
  for (size_t at = 0; at + 2 <= ies.size() && at + 2 + ies[at + 1] <= ies.size(); at += 2 + ies[at + 1]) {
    if (ies[at] != id) continue;
    if (id == 0xDD &&
        !(ies[at + 1] >= 4 && ies[at + 2] == 0x00 && ies[at + 3] == 0x50 && ies[at + 4] == 0xF2))
      continue;
    return Bytes(ies.begin() + at, ies.begin() + at + 2 + ies[at + 1]);
  }
  return {};
}

TEST_F(ListsTest, ReturnedNeverExceedsWhatTheCallerReceived) {
  // The request carries a padding word, so a driver can fill and report up to
  // 4 bytes more than the caller's buffer holds.
  for (ULONG length : {200u, 201u, 203u}) {
    SCOPED_TRACE(length);
    sim->Script(OID_HALVEX_SCAN_LIST, Response::Answer(Pattern(300, 5)));
    std::vector<unsigned char> buffer(length);
    ULONG returned = 0;
    ASSERT_EQ(HalvexQueryScanListLength(adapter, buffer.data(), length, returned), 0);
    EXPECT_EQ(returned, length);
  }
  sim->Script(OID_802_11_ASSOCIATION_INFORMATION, Response::Answer(Pattern(600, 5)));
  Bytes info(500);
  ULONG returned = 0;
  ASSERT_EQ(HalvexQueryAssocInfo(adapter, info.data(), returned), 0);
  EXPECT_EQ(returned, 500u);
}

TEST_F(ListsTest, DefaultWorldListParses) {
  for (const ScanQuery& q : kScanQueries) {
    SCOPED_TRACE(q.name);
    std::vector<unsigned char> buffer(kScanBuffer, 0);
    ULONG returned = 0;
    ASSERT_EQ(q.run(adapter, buffer.data(), kScanBuffer, returned), 0);
    const auto entries = ParseList(buffer.data(), kScanBuffer);
    ASSERT_EQ(entries.size(), 3u);
    struct Expected {
      const char* ssid;
      uint8_t last;
      ULONG channel;
      bool rsn, wpa;
    } expected[] = {{"HalvexOpen", 1, 6, false, false},
                    {"HalvexWPA", 2, 1, false, true},
                    {"HalvexWPA2", 3, 11, true, true}};
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(entries[i].ssid, expected[i].ssid);
      EXPECT_EQ(entries[i].bssid, (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, expected[i].last}));
      EXPECT_EQ(entries[i].channel, expected[i].channel);
      EXPECT_EQ(entries[i].privacy, expected[i].rsn || expected[i].wpa ? 1u : 0u);
      EXPECT_EQ(FindElement(entries[i].ies, 0x30), expected[i].rsn ? sim::RsnElement() : Bytes{});
      EXPECT_EQ(FindElement(entries[i].ies, 0xDD), expected[i].wpa ? sim::WpaElement() : Bytes{});
      const Bytes ssid = FindElement(entries[i].ies, 0x00);
      EXPECT_EQ(std::string(ssid.begin() + 2, ssid.end()), expected[i].ssid);
    }
  }
}

TEST_F(ListsTest, DriverListsOnlyTheEntriesThatFit) {
  const size_t first = sim::BssidEntry(sim->World().accessPoints[0]).size();
  const ULONG length = static_cast<ULONG>(4 + first + 40);
  std::vector<unsigned char> buffer(length, 0);
  ULONG returned = 0;
  ASSERT_EQ(HalvexQueryScanListLength(adapter, buffer.data(), length, returned), 0);
  EXPECT_EQ(Word(buffer.data()), 1u);
  EXPECT_EQ(returned, 4 + first);
  EXPECT_EQ(ParseList(buffer.data(), length).size(), 1u);
}

TEST_F(ListsTest, AssocInfoWithFewerThan500WritableBytesSendsNothing) {
  for (size_t writable : {0u, 1u, 40u, 499u}) {
    SCOPED_TRACE(writable);
    GuardedBuffer buffer(writable);
    ASSERT_TRUE(buffer.ok());
    ULONG returned = 4242;
    EXPECT_EQ(HalvexQueryAssocInfo(adapter, buffer.data(), returned), 3);
    EXPECT_EQ(returned, 4242u);
  }
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(ListsTest, AssocInfoReportsTheTrueLengthAfterSuccess) {
  const Bytes info = sim->World().AssociationInfo();
  const Bytes small = Pattern(64, 9);
  struct Case {
    const char* name;
    std::optional<Response> script;
    bool open;
    int result;
    ULONG returned;
  } cases[] = {
      {"answered", std::nullopt, true, 0, static_cast<ULONG>(info.size())},
      {"failed with data", Response::FailWithData(kFailed, small, 4 + 64), true, 0, 64},
      {"refused", Response::Fail(kFailed), true, 1, 0},
      {"refused with 4 bytes", Response::Fail(0xC0010017, 4), true, static_cast<int>(0xC0010017), 0},
      {"closed", std::nullopt, false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.script) sim->Script(OID_802_11_ASSOCIATION_INFORMATION, *c.script);
    sim->ClearCalls();
    const Bytes before = Pattern(500, 1);
    Bytes buffer = before;
    ULONG returned = 999;
    void* handle = c.open ? adapter : nullptr;
    EXPECT_EQ(HalvexQueryAssocInfo(handle, buffer.data(), returned), c.result);
    EXPECT_EQ(returned, c.returned);
    if (c.result != 0) {
      EXPECT_EQ(buffer, before) << "a failed request leaves the buffer";
    }
    if (c.open) {
      // Not cleared first: the buffer's 500 bytes are the payload.
      const auto calls = sim->CallsFor(OID_802_11_ASSOCIATION_INFORMATION);
      ASSERT_EQ(calls.size(), 1u);
      const Bytes sent = calls[0].Payload();
      EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 500), before);
    }
    sim->ClearScript(OID_802_11_ASSOCIATION_INFORMATION);
  }
}

TEST_F(ListsTest, AssocInfoCarriesTheRequestAndResponseElements) {
  Bytes buffer(500, 0);
  ULONG returned = 0;
  ASSERT_EQ(HalvexQueryAssocInfo(adapter, buffer.data(), returned), 0);
  ASSERT_GE(returned, 40u);
  ASSERT_LE(returned, 500u);
  const uint32_t reqLength = Word(&buffer[16]), reqOffset = Word(&buffer[20]);
  const uint32_t resLength = Word(&buffer[32]), resOffset = Word(&buffer[36]);
  ASSERT_LE(reqOffset + reqLength, returned);
  ASSERT_LE(resOffset + resLength, returned);
  EXPECT_GE(reqOffset, 40u);
  const Bytes request(buffer.begin() + reqOffset, buffer.begin() + reqOffset + reqLength);
  const Bytes response(buffer.begin() + resOffset, buffer.begin() + resOffset + resLength);
  // Associated with the WPA2 network: the station asked with its RSN element.
  EXPECT_EQ(FindElement(request, 0x30), sim::RsnElement());
  const Bytes ssid = FindElement(request, 0x00);
  EXPECT_EQ(std::string(ssid.begin() + 2, ssid.end()), "HalvexWPA2");
  EXPECT_FALSE(FindElement(response, 0x01).empty()) << "supported rates";
  // The current AP's address in the request's fixed fields.
  EXPECT_EQ(Bytes(buffer.begin() + 10, buffer.begin() + 16), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x03}));
}

}  // namespace
}  // namespace hx::test
