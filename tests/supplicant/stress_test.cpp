// The link callback on the toolkit's thread, the monitor on driver events and
// a utility thread, all on one adapter and one bridge at once: nothing lost,
// nothing torn (ThreadSanitizer watches the shared words).
#include <thread>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

class BridgeStressTest : public BridgeTest {};

TEST_F(BridgeStressTest, CallbackMonitorAndUtilityAtOnce) {
  constexpr int kRounds = 150;
  static const unsigned char kBody[] = {0x01, 0x00, 0x00, 0x04, 0x02, 0x07, 0x00, 0x04};
  const Bytes own = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const Bytes ap = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03};
  Bytes frame = sim::WordBytes(18);
  for (const Bytes* part : {&own, &ap}) frame.insert(frame.end(), part->begin(), part->end());
  frame.insert(frame.end(), {0x88, 0x8E, 0x01, 0x00, 0x00, 0x00});
  char ssid[] = "HalvexWPA2";
  unsigned char passphrase[] = "secret99";
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase, ssid), 0);

  std::thread toolkit([&] {
    for (int i = 0; i < kRounds; ++i) {
      ODSTK_EVENT_FRAME eapol{0, 8, 0, nullptr, kBody, sizeof kBody};
      ODSIM_QueueEvent(Link(), &eapol, sizeof eapol);
      // Type 6 with a 48-byte pairwise key record at 24.
      unsigned char key[24 + 48] = {};
      key[4] = 6;
      key[24] = 48;
      key[31] = 0xC0;
      key[32] = 16;
      ODSIM_QueueEvent(Link(), key, sizeof key);
      const ULONG state[5] = {0, 1, 0, 0, static_cast<ULONG>(i % 7 + 1)};
      ODSIM_QueueEvent(Link(), state, sizeof state);
      const ULONG auth[6] = {0, 2, 0, 0, 0, static_cast<ULONG>(i % 9)};
      ODSIM_QueueEvent(Link(), auth, sizeof auth);
      ODSTK_EVENT_ANSWER gtc{};
      gtc.Type = 13;
      ODSIM_QueueEvent(Link(), &gtc, sizeof gtc);
    }
  });
  std::thread driver([&] {
    for (int i = 0; i < kRounds; ++i) {
      sim->InjectEvent(133);
      sim->InjectEvent(132, frame);
      if (i % 10 == 0) sim->InjectEvent(1);
      sim->InjectEvent(10, Bytes(8, static_cast<uint8_t>(i)));
    }
  });
  ULONG methods[] = {2, 1};
  char user[] = "alice";
  char password[] = "pw";
  char response[] = "4711";
  for (int i = 0; i < kRounds; ++i) {
    HalvexWPACreateIdentityPEAP(user, nullptr, password, methods, 2, i % 2, response);
    HalvexGetWPASuppStatus(static_cast<ULONG>(i % 3));
    if (i % 25 == 0) HalvexSetWPAInformation(adapter, 9, 3, passphrase, ssid);
  }
  toolkit.join();
  driver.join();
  ASSERT_EQ(ODSIM_WaitIdle(Link(), 20000), ODSIM_DELIVERED);
  // Every frame the callback sent reached the adapter whole.
  for (const sim::ControlCall& call : sim->CallsFor(OID_HALVEX_EAPOL_TX)) {
    const Bytes payload = call.Payload();
    ASSERT_GE(payload.size(), 4u + 14 + sizeof kBody);
    EXPECT_EQ(Bytes(payload.begin() + 18, payload.begin() + 18 + sizeof kBody),
              Bytes(kBody, kBody + sizeof kBody));
  }
  EXPECT_EQ(sim->CallsFor(OID_HALVEX_EAPOL_TX).size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(sim->CallsFor(OID_802_11_ADD_KEY).size(), static_cast<size_t>(kRounds));
}

}  // namespace
}  // namespace hx::test
