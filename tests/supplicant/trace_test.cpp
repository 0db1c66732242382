// The toolkit's trace in the window: tagged lines, hex dumps, and the polled
// supplicant states.
#include <string>

#include "supplicant/trace.h"
#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

class TraceTest : public BridgeTest {
 protected:
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const Message& m : recorder.Messages()) {
      EXPECT_EQ(m.code, 1006u);
      lines.push_back(m.text);
    }
    return lines;
  }
};

TEST_F(TraceTest, TraceRegistersTheCallbackAndLevel) {
  HalvexWPATrace(4);
  EXPECT_EQ(odsim::Calls(), (Calls{"ODSTK_SetTraceCallbackA(callback)", "ODSTK_SetTraceLevel(4)"}));
  EXPECT_EQ(ODSIM_TraceLevel(), 4u);
}

TEST_F(TraceTest, LinesAndDumpsAsTheWindowSeesThem) {
  HalvexWPATrace(4);
  Bytes block(1000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  const Bytes edges = {0x1F, 0x20, 0x7F, 0x80, 0x41, 0x00, 0xFF, 0x7E, 0x30,
                       0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x5A};
  const std::string longText(300, 'x');
  struct Case {
    const char* name;
    ULONG level;
    const char* text;
    Bytes data;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"detail", 4, "abc", {}, {"[DTL] abc"}},
      {"tags", 1, "e", {}, {"[ERR] e"}},
      {"warning", 2, "w", {}, {"[WRN] w"}},
      {"normal", 3, "n", {}, {"[NRM] n"}},
      {"unknown level", 0, "?", {}, {"[??\?] ?"}},
      {"level 5", 5, "?", {}, {"[??\?] ?"}},
      {"a cut text", 3, longText.c_str(), {}, {"[NRM] " + std::string(193, 'x')}},
      {"no text, 20 bytes",
       3,
       nullptr,
       Bytes(block.begin(), block.begin() + 20),
       {"   00000000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F   ................\n",
        "   00000010: 10 11 12 13                                       ....            \n"}},
      {"edges and a one-byte line",
       3,
       "t",
       edges,
       {"[NRM] t", "   00000000: 1F 20 7F 80 41 00 FF 7E 30 31 32 33 34 35 36 37   . \x7f.A..~01234567\n",
        "   00000010: 5A                                                Z               \n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.Clear();
    ASSERT_EQ(ODSIM_EmitTrace(c.level, 0, c.text, c.data.empty() ? nullptr : c.data.data(),
                              static_cast<ULONG>(c.data.size())),
              0);
    EXPECT_EQ(Lines(), c.lines);
  }
  // A long block: ten lines, offsets up to 00000090, nothing more.
  recorder.Clear();
  ASSERT_EQ(ODSIM_EmitTrace(4, 0, nullptr, block.data(), 1000), 0);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[9].substr(0, 13), "   00000090: ");
  EXPECT_EQ(lines[9].substr(13, 6), "90 91 ");
  EXPECT_EQ(lines[9].size(), 80u);
  // A block the toolkit's memory does not back is not dumped.
  recorder.Clear();
  ASSERT_EQ(ODSIM_EmitTrace(4, 0, "gone", nullptr, 16), 0);
  EXPECT_EQ(Lines(), std::vector<std::string>{"[DTL] gone"});
}

TEST_F(TraceTest, StatusReturnsTheStateAskedFor) {
  Bridge().SupplicantState.store(15);
  Bridge().SupplicantLinkState.store(4);
  Bridge().SupplicantAuthState.store(7);
  EXPECT_EQ(HalvexGetWPASuppStatus(0), 15);
  EXPECT_EQ(HalvexGetWPASuppStatus(1), 4);
  EXPECT_EQ(HalvexGetWPASuppStatus(2), 7);
  EXPECT_EQ(HalvexGetWPASuppStatus(7), 7);
}

}  // namespace
}  // namespace hx::test
