// The readers of driver bytes and the receive path: frames kept or dropped,
// element blocks found or left empty, never a byte read past what came back.
#include <cstring>
#include <string>

#include "supplicant/wire.h"
#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

void Put(Bytes& b, size_t at, uint32_t word) {
  std::memcpy(b.data() + at, &word, 4);
}
Bytes Span(ByteSpan s) {
  return Bytes(s.data, s.data + s.size);
}

// An association record: the fixed 40 bytes, then the bytes 40..49.
Bytes Association(uint32_t reqLength, uint32_t reqOffset, uint32_t resLength, uint32_t resOffset) {
  Bytes info(50);
  for (size_t i = 40; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i);
  Put(info, 16, reqLength);
  Put(info, 20, reqOffset);
  Put(info, 32, resLength);
  Put(info, 36, resOffset);
  return info;
}

TEST(AssociationIes, BlocksOnlyWhereTheyLieWithinWhatCameBack) {
  struct Case {
    const char* name;
    Bytes info;
    uint32_t returned;
    Bytes request, response;
  };
  const Case cases[] = {
      {"both", Association(3, 40, 2, 43), 45, {40, 41, 42}, {43, 44}},
      {"no request elements", Association(0, 40, 2, 43), 45, {}, {43, 44}},
      {"fewer than 40 bytes", Association(3, 40, 2, 43), 39, {}, {}},
      {"offset past the end", Association(3, 44, 2, 48), 45, {}, {}},
      {"offset that wraps", Association(3, 0xFFFFFFFE, 2, 0xFFFFFFFF), 50, {}, {}},
      {"length that wraps", Association(0xFFFFFFF0, 40, 0xFFFFFFD8, 40), 50, {}, {}},
      {"length beyond the count less the fixed part", Association(10, 0, 2, 48), 45, {}, {}},
      {"at the very end",
       Association(5, 45, 10, 40),
       50,
       {45, 46, 47, 48, 49},
       {40, 41, 42, 43, 44, 45, 46, 47, 48, 49}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AssociationIes ies = FindAssociationIes(c.info.data(), c.returned);
    EXPECT_EQ(Span(ies.request), c.request);
    EXPECT_EQ(Span(ies.response), c.response);
  }
}

const uint8_t kBssid[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A scan-list entry: declared Length, BSSID, SSID and IELength, with the IEs
// (12 fixed bytes, then the variable ones) as far as the entry holds them.
Bytes Entry(uint32_t length, const uint8_t* bssid, const std::string& ssid, uint32_t ieLength,
            Bytes variable) {
  Bytes e(std::max<uint32_t>(length, 128), 0);
  Put(e, 0, length);
  std::memcpy(e.data() + 4, bssid, 6);
  Put(e, 12, static_cast<uint32_t>(ssid.size()));
  std::memcpy(e.data() + 16, ssid.data(), ssid.size());
  Put(e, 112, ieLength);
  if (128 + variable.size() > e.size()) e.resize(128 + variable.size());
  std::copy(variable.begin(), variable.end(), e.begin() + 128);
  e.resize(std::max<uint32_t>(length, 4));
  return e;
}
// Built by size and copy: GCC 12 misreads an insert behind a sized vector.
Bytes Joined(const Bytes& head, std::initializer_list<Bytes> parts) {
  size_t size = head.size();
  for (const Bytes& p : parts) size += p.size();
  Bytes all(size);
  std::copy(head.begin(), head.end(), all.begin());
  size_t at = head.size();
  for (const Bytes& p : parts) {
    std::copy(p.begin(), p.end(), all.begin() + static_cast<std::ptrdiff_t>(at));
    at += p.size();
  }
  return all;
}
Bytes List(uint32_t count, std::initializer_list<Bytes> entries) {
  return Joined(sim::WordBytes(count), entries);
}

TEST(BeaconIes, FirstMatchingEntryWithElementsWithinTheList) {
  const uint8_t other[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  const Bytes good = Entry(132, kBssid, "Net", 16, {0xDD, 0x02, 0x01, 0x02});
  struct Case {
    const char* name;
    Bytes list;
    std::string ssid;
    int returnedLess;  // bytes short of the whole list
    Bytes found;
  };
  const Case cases[] = {
      {"match", List(1, {good}), "Net", 0, {0xDD, 0x02, 0x01, 0x02}},
      {"after another SSID",
       List(2, {Entry(132, kBssid, "Other", 16, {1, 2, 3, 4}), good}),
       "Net",
       0,
       {0xDD, 0x02, 0x01, 0x02}},
      {"after another BSSID",
       List(2, {Entry(132, other, "Net", 16, {1, 2, 3, 4}), good}),
       "Net",
       0,
       {0xDD, 0x02, 0x01, 0x02}},
      {"SSID a prefix", List(1, {good}), "Ne", 0, {}},
      {"only fixed elements, then a match",
       List(2, {Entry(128, kBssid, "Net", 12, {}), good}),
       "Net",
       0,
       {0xDD, 0x02, 0x01, 0x02}},
      {"elements beyond the entry",
       List(2, {Entry(128, kBssid, "Net", 16, {}), good}),
       "Net",
       0,
       {0xDD, 0x02, 0x01, 0x02}},
      {"Length 0 ends the walk", List(2, {Entry(0, other, "", 0, {}), good}), "Net", 0, {}},
      {"Length under 120 ends the walk", List(2, {Entry(119, other, "", 0, {}), good}), "Net", 0, {}},
      {"entry past what came back", List(1, {good}), "Net", 1, {}},
      {"count stops before the match",
       List(1, {Entry(132, other, "Net", 16, {1, 2, 3, 4}), good}),
       "Net",
       0,
       {}},
      {"count 0", List(0, {good}), "Net", 0, {}},
      {"32-character SSID", List(1, {Entry(132, kBssid, name32, 16, {9, 8, 7, 6})}), name32, 0, {9, 8, 7, 6}},
      {"too short to hold an entry", List(1, {good}), "Net", 13, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t returned = static_cast<uint32_t>(c.list.size()) - c.returnedLess;
    const ByteSpan found =
        FindBeaconIes(c.list.data(), returned, kBssid, reinterpret_cast<const unsigned char*>(c.ssid.data()),
                      static_cast<uint32_t>(c.ssid.size()));
    EXPECT_EQ(Span(found), c.found);
  }
}

class ReceiveTest : public BridgeTest {};

// A code-132 record's data: the frame length, then the frame.
Bytes FrameData(const Bytes& destination, const Bytes& source, uint16_t etherType, const Bytes& body) {
  const Bytes type = {static_cast<uint8_t>(etherType >> 8), static_cast<uint8_t>(etherType)};
  return Joined(sim::WordBytes(static_cast<uint32_t>(14 + body.size())), {destination, source, type, body});
}

TEST_F(ReceiveTest, FramesForThisAdapterReachTheToolkitAndTheRestAreDropped) {
  const Bytes own = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const Bytes ap = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03};
  const Bytes stranger = {0x02, 0x99, 0x88, 0x77, 0x66, 0x55};
  const Bytes body = {0x02, 0x03, 0x00, 0x5F, 0xFE, 0x01};
  Bytes fourteen = FrameData(own, ap, 0x888E, {});
  Bytes truncated = FrameData(own, ap, 0x888E, body);
  truncated.pop_back();  // the length says one byte more than the record holds
  struct Case {
    const char* name;
    Bytes data;
    int result;
    Calls calls;
  };
  const Case cases[] = {
      {"EAPOL from the access point",
       FrameData(own, ap, 0x888E, body),
       0,
       {"ODSTK_LINK_ReceiveEapol(link#1, [02 03 00 5f fe 01], 6)"}},
      {"one-byte body", FrameData(own, ap, 0x888E, {0x7E}), 0, {"ODSTK_LINK_ReceiveEapol(link#1, [7e], 1)"}},
      {"pre-authentication from anyone",
       FrameData(own, stranger, 0x88C7, body),
       0,
       {"ODSTK_LINK_ReceivePreauthEapol(link#1, [02 99 88 77 66 55], [02 03 00 5f fe 01], 6)"}},
      {"EAPOL from another station", FrameData(own, stranger, 0x888E, body), 1, {}},
      {"EAPOL to another station", FrameData(stranger, ap, 0x888E, body), 1, {}},
      {"pre-authentication to another station", FrameData(stranger, ap, 0x88C7, body), 1, {}},
      {"IP", FrameData(own, ap, 0x0800, body), 1, {}},
      {"header only", fourteen, 1, {}},
      {"longer than the record", truncated, 1, {}},
      {"no room for the length", Bytes{0x20, 0x00, 0x00}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ODSIM_ClearCalls();
    EXPECT_EQ(ReceiveDriverEapol(c.data.data(), static_cast<uint32_t>(c.data.size())), c.result);
    EXPECT_EQ(odsim::Calls(), c.calls);
  }
  // The toolkit's answer is passed back.
  ASSERT_EQ(ODSIM_ScriptResult("ODSTK_LINK_ReceiveEapol", 9, 1), 0);
  const Bytes frame = FrameData(own, ap, 0x888E, body);
  EXPECT_EQ(ReceiveDriverEapol(frame.data(), static_cast<uint32_t>(frame.size())), 9);
  // Many frames leave nothing behind (the sanitizer's leak check sees to it).
  for (int i = 0; i < 2000; ++i) ReceiveDriverEapol(frame.data(), static_cast<uint32_t>(frame.size()));
}

TEST_F(ReceiveTest, MonitorHandsCode132FramesOver) {
  const Bytes own = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const Bytes ap = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03};
  sim->InjectEvent(132, FrameData(own, ap, 0x888E, {0x01, 0x00, 0x00, 0x00, 0xAB}));
  sim->InjectEvent(0x20000000);
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(odsim::Calls(), Calls{"ODSTK_LINK_ReceiveEapol(link#1, [01 00 00 00 ab], 5)"});
}

}  // namespace
}  // namespace hx::test
