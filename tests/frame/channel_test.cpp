// The request channel, checked from what the simulated driver received.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <vector>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;

constexpr uint32_t kTestOid = 0xFF01FFF0;

class ChannelTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
};

TEST_F(ChannelTest, RequestSizesFollowThePayload) {
  struct Case {
    ULONG payload;
    uint32_t total;
  };
  const Case cases[] = {{0, 8},   {4, 12},  {6, 12},    {8, 16},    {16, 24},   {20, 28},
                        {24, 32}, {32, 40}, {36, 44},   {40, 48},   {44, 52},   {50, 56},
                        {52, 60}, {88, 96}, {100, 108}, {104, 112}, {168, 176}, {500, 508}};
  sim->SetValue(kTestOid, Bytes{});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    std::vector<uint8_t> payload(c.payload, 0xA5);
    sim->ClearCalls();
    ASSERT_EQ(QueryOid(adapter, kTestOid, payload.data(), c.payload), 0);
    ASSERT_EQ(SetOid(adapter, kTestOid, payload.data(), c.payload), 0);
    const auto calls = sim->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].code, IOCTL_OID_QUERY);
    EXPECT_EQ(calls[0].inLength, c.total);
    EXPECT_EQ(calls[0].outLength, c.total);
    EXPECT_EQ(calls[1].code, IOCTL_OID_SET);
    EXPECT_EQ(calls[1].inLength, c.total);
    EXPECT_EQ(calls[1].outLength, 0u);
    // OID first, the payload behind it; a query's padding is zero.
    EXPECT_EQ(calls[0].Oid(), kTestOid);
    EXPECT_EQ(Bytes(calls[0].input.begin() + 4, calls[0].input.begin() + 4 + c.payload),
              Bytes(c.payload, 0xA5));
    for (uint32_t i = 4 + c.payload; i < c.total; ++i) EXPECT_EQ(calls[0].input[i], 0) << i;
  }
}

TEST_F(ChannelTest, ExportsSendTheirSizes) {
  unsigned char mac[6];
  ASSERT_EQ(HalvexGetMacAddress(adapter, mac, 6), 0);
  ASSERT_EQ(HalvexSetFswCCXConfiguration(adapter, 9), 0);
  // An event fetch names exactly the room it reads back: no padding word,
  // and a ragged length rounded down to whole words.
  std::vector<unsigned char> area(0x4000, 0xEE);
  ASSERT_EQ(HalvexGetEventCode(adapter, area.data(), 0x4000), 0);
  std::fill(area.begin(), area.end(), 0xEE);
  ASSERT_EQ(HalvexGetEventCode(adapter, area.data(), 0x3FFE), 0);
  const auto calls = sim->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].inLength, 12u);  // 6 bytes and 2 of padding
  EXPECT_EQ(calls[1].inLength, 12u);
  EXPECT_EQ(sim::ReadWord(calls[1].Payload().data()), 9u);
  EXPECT_EQ(calls[2].inLength, 0x4004u);
  EXPECT_EQ(calls[3].inLength, 0x4000u);
  EXPECT_EQ(area[0x3FFC], 0);  // the two bytes past the room are cleared, not stale
  EXPECT_EQ(area[0x3FFD], 0);
  EXPECT_EQ(area[0x3FFE], 0xEE);
}

TEST_F(ChannelTest, QueryCopiesTheAnswerBack) {
  sim->SetValue(kTestOid, Bytes{1, 2, 3});
  unsigned char buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  ULONG returned = 77;
  ASSERT_EQ(QueryOidWithLength(adapter, kTestOid, buffer, sizeof buffer, returned), 0);
  // Bytes the driver did not write come back as they were sent.
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{1, 2, 3, 9, 9, 9, 9, 9}));
  EXPECT_EQ(returned, 3u);
  // A driver that reports less than its OID word returned no payload.
  Response short_answer = Response::Answer({5});
  short_answer.bytesReturned = 2;
  sim->Script(kTestOid, short_answer);
  returned = 77;
  ASSERT_EQ(QueryOidWithLength(adapter, kTestOid, buffer, sizeof buffer, returned), 0);
  EXPECT_EQ(returned, 0u);
  sim->ClearScript(kTestOid);
}

TEST_F(ChannelTest, FailedQueriesByBytesReturned) {
  struct Case {
    const char* name;
    Response response;
    int result;
    bool copied;
  };
  const Case cases[] = {
      {"five bytes returned counts as answered", Response::FailWithData(0xC0000001, {7, 7, 7, 7}, 5), 0,
       true},
      {"four bytes, unsuccessful", Response::Fail(0xC0000001), 1, false},
      {"four bytes, other status", Response::Fail(0xC0000010), static_cast<int>(0xC0000010), false},
      {"zero bytes, pending", Response::Fail(259, 0), 259, false},
      {"four bytes, status zero", Response::Fail(0), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim->Script(kTestOid, c.response);
    unsigned char buffer[4] = {1, 2, 3, 4};
    ULONG returned = 1234;
    EXPECT_EQ(QueryOidWithLength(adapter, kTestOid, buffer, 4, returned), c.result);
    EXPECT_EQ(Bytes(buffer, buffer + 4), c.copied ? (Bytes{7, 7, 7, 7}) : (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(returned, 1234u) << "no count on a failed control call";
  }
}

TEST_F(ChannelTest, SetStatusComesBackInTheFirstWord) {
  struct Case {
    Response response;
    int result;
    uint32_t word;
  };
  const Case cases[] = {
      {Response::SetStatus(0), 0, 0},
      {Response::SetStatus(259), 0, 259},  // the call succeeded: pending shows only in the word
      {Response::SetStatus(0x1234), 0, 0x1234},
      {Response::Fail(259), 0, 259},
      {Response::Fail(0xC0000001), 1, 0xC0000001},
      {Response::Fail(0xC00000BB), static_cast<int>(0xC00000BB), 0xC00000BB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    sim->Script(kTestOid, c.response);
    uint32_t payload[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    EXPECT_EQ(SetOid(adapter, kTestOid, payload, sizeof payload), c.result);
    EXPECT_EQ(payload[0], c.word);
    EXPECT_EQ(payload[1], 0xBBBBBBBBu);
  }
}

TEST_F(ChannelTest, EmptySetSendsOnlyTheOidAndPadding) {
  sim->Script(kTestOid, Response::Fail(0xC0000001));
  EXPECT_EQ(SetOid(adapter, kTestOid, nullptr, 0), 1);
  const auto calls = sim->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].inLength, 8u);
  // A short payload gets no status copied back.
  unsigned char two[2] = {5, 6};
  sim->Script(kTestOid, Response::SetStatus(259));
  EXPECT_EQ(SetOid(adapter, kTestOid, two, 2), 0);
  EXPECT_EQ(two[0], 5);
  EXPECT_EQ(two[1], 6);
}

TEST_F(ChannelTest, LengthsWhoseRequestWouldWrapSendNothing) {
  // A caller's length near 4 GiB would wrap the request size; the copy of
  // the payload would then run past a tiny buffer.
  unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (ULONG length : {0xFFFFFFF8u, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
    EXPECT_EQ(QueryOid(adapter, kTestOid, buffer, length), 1) << length;
    EXPECT_EQ(SetOid(adapter, kTestOid, buffer, length), 1) << length;
  }
  EXPECT_TRUE(sim->Calls().empty());
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(ChannelTest, RefusedHandlesSendNothing) {
  void* stale = adapter;
  void* second = nullptr;
  ASSERT_EQ(HalvexOpenAdapter(second), 0);
  sim->ClearCalls();
  void* const refused[] = {nullptr, INVALID_HANDLE_VALUE, stale};
  for (void* handle : refused) {
    unsigned char buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(QueryOid(handle, kTestOid, buffer, 4), 1);
    EXPECT_EQ(SetOid(handle, kTestOid, buffer, 4), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(HalvexRegisterEvent(handle, buffer, 4), 1);
  }
  EXPECT_TRUE(sim->Calls().empty());
  EXPECT_EQ(HalvexCloseAdapter(stale), 1) << "the first handle is refused by close too";
  EXPECT_EQ(HalvexCloseAdapter(second), 0);
  HalvexCloseAdapter(adapter);  // the test's own copy: nothing open any more
  EXPECT_EQ(adapter, nullptr);
}

}  // namespace
}  // namespace hx::test
