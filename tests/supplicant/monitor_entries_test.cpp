// The monitor's entries for the supplicant toolkit: what each driver code
// hands the link, and which records are not handed over.
#include <cstring>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words) {
    const Bytes word = sim::WordBytes(w);
    b.insert(b.end(), word.begin(), word.end());
  }
  return b;
}

class MonitorEntriesTest : public BridgeTest {
 protected:
  // The toolkit calls one record's dispatch made.
  Calls Dispatch(uint32_t code, const Bytes& data) {
    ODSIM_ClearCalls();
    DispatchRecord(*sim, recorder, code, data);
    return odsim::Calls();
  }
};

TEST_F(MonitorEntriesTest, EachCodeReachesTheLinkAsItsRowSays) {
  // PMKID candidates: BSSID, two bytes of padding, flags; 12 bytes each.
  const Bytes candidates = {0x00, 0x11, 0x22, 0x33, 0x44, 0x0A, 0, 0, 1, 0, 0, 0,
                            0x00, 0x11, 0x22, 0x33, 0x44, 0x0B, 0, 0, 0, 0, 0, 0};
  Bytes twoCandidates = Words({0xAAAA, 0xBBBB, 1, 2});  // words at 8 and 12, Version, NumCandidates
  twoCandidates.insert(twoCandidates.end(), candidates.begin(), candidates.end());
  Bytes threeClaimed = twoCandidates;
  threeClaimed[12] = 3;  // one more than the record holds
  const Bytes request = {16, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x0C, 0, 0, 6, 0, 0, 0};
  Bytes requests = Words({0xBBBB});  // the word at 8
  requests.insert(requests.end(), request.begin(), request.end());
  Bytes shortRequest = requests;
  shortRequest[4] = 20;  // Length 20, four bytes past the record
  struct Case {
    const char* name;
    uint32_t code;
    Bytes data;
    Calls calls;
  };
  const Case cases[] = {
      {"10 authentication",
       10,
       Words({0xCCCC, 0x0E}),
       {"ODSTK_LINK_ReceiveAuthenticationEvent(link#1, {length=16 bssid=[00 11 22 33 44 03] flags=14})"}},
      {"134 requests",
       134,
       requests,
       {"ODSTK_LINK_ReceiveAuthenticationEvent(link#1, {length=16 bssid=[00 11 22 33 44 0c] flags=6})"}},
      {"134 none, the least record", 134, Words({0xBBBB, 0}), {}},
      {"134 past the record", 134, shortRequest, {}},
      {"135 candidates",
       135,
       twoCandidates,
       {"ODSTK_LINK_ReceivePMKIDCandidateListEvent(link#1, {version=1 candidates=2 [00 11 22 33 44 0a]/1 "
        "[00 11 22 33 44 0b]/0})"}},
      {"135 none, the least record", 135, Words({0xAAAA, 0xBBBB, 1, 0}), {}},
      {"135 past the record", 135, threeClaimed, {}},
      {"136 CCKM", 136, Words({0xDDDD}), {"ODSTK_LINK_CCKM_StartReassociation(link#1, block)"}},
  };
  // Records of the least size their code needs still leave the walk going:
  // the marker behind each arrives.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Dispatch(c.code, c.data), c.calls);
    EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{0x20000000});  // nothing for the window
  }
}

TEST_F(MonitorEntriesTest, ConnectsHandInformationOverOnlyWhileItIsPending) {
  char ssid[] = "HalvexWPA2";
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, nullptr, ssid), 0);
  for (uint32_t code : {1u, 3u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(
        Dispatch(code, {}),
        (Calls{"ODSTK_LINK_SetNetworkInfoA(link#1, {size=" + std::to_string(sizeof(void*) == 4 ? 72 : 112) +
                   " kind=2 protocol=4 8021x=0 keys=1 cipher=3})",
               "ODSTK_LINK_PortUp(link#1)"}));
  }
  for (uint32_t code : {0u, 4u}) EXPECT_EQ(Dispatch(code, {}), Calls{});
  HalvexWPAPortDown();
  EXPECT_EQ(Dispatch(1, {}), Calls{});
}

}  // namespace
}  // namespace hx::test
