// Fuzz target for EAPOL-Key frames from an access point: any bytes are read
// as a key frame and its key data, and handed to the stand-in toolkit's
// pre-shared-key supplicant on a link in mid-handshake (a message 1 was
// answered, so message 3 and group message paths are reachable as far as a
// MIC lets them). Nothing may crash, and no frame may bring a key event.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "crypto/rsn.h"
#include "toolkit/odsim.h"

namespace {

ODSTK_HANDLE g_link = nullptr;
int g_keys = 0;

void ODSTK_CALL Callback(ULONG, void* event) {
  ULONG type;
  std::memcpy(&type, static_cast<const unsigned char*>(event) + ODSTK_EVENT_TYPE_OFFSET, 4);
  if (type == 6) ++g_keys;
}

// A link with a pre-shared-key network, its port up, its thread running and
// a message 1 answered.
void Start() {
  ODSIM_EnableSupplicant(1);
  ODSIM_SetHandshakeTimeout(0xFFFFFFFF);
  ODSTK_HANDLE context = nullptr;
  ODSTK_CreateContext(&context);
  ODSTK_CONTEXT_CreateLinkAsynchronousA(context, &g_link);
  ODSTK_LINK_SetCallbackA(g_link, Callback, 0);
  static char passphrase[] = "fuzzing pass phrase";
  static UCHAR ssid[] = "HalvexFuzz";
  static UCHAR beacon[] = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                           0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
  SUPP_NETWORK_INFO info{};
  info.Size = sizeof info;
  info.KeyManagement = 1;
  info.Cipher = 3;
  info.Passphrase = passphrase;
  info.Ssid = ssid;
  info.SsidLength = 10;
  info.BeaconIes = beacon;
  info.BeaconIesLength = sizeof beacon;
  ODSTK_LINK_SetNetworkInfoA(g_link, &info);
  ODSTK_LINK_PortUp(g_link);
  std::thread([] { ODSTK_LINK_Thread(g_link); }).detach();
  hx::rsn::KeyFrame message1;
  message1.info = 0x008A;
  message1.replayCounter = 1;
  message1.nonce.fill(0xA5);
  const std::vector<uint8_t> bytes = hx::rsn::BuildKeyFrame(message1);
  ODSTK_LINK_ReceiveEapol(g_link, bytes.data(), static_cast<ULONG>(bytes.size()));
  ODSIM_WaitIdle(g_link, 10000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (Start(), true);
  (void)started;
  // Exactly the frame's bytes on the heap, so a read past them is caught.
  std::vector<uint8_t> frame(data, data + size);
  if (const auto key = hx::rsn::ParseKeyFrame(frame)) {
    if (key->data.size() > frame.size()) std::abort();
    hx::rsn::FindElement(key->data, hx::rsn::kRsnElementId);
    hx::rsn::FindGroupKey(key->data);
  }
  // The same bytes as unwrapped key data.
  if (const auto gtk = hx::rsn::FindGroupKey(frame)) {
    if (gtk->key.size() + 8 > frame.size()) std::abort();
  }
  ODSTK_LINK_ReceiveEapol(g_link, frame.data(), static_cast<ULONG>(frame.size()));
  ODSIM_WaitIdle(g_link, 10000);
  ODSIM_ClearCalls();  // the call record would grow with every input
  if (g_keys != 0) std::abort();  // no key without a MIC
  return 0;
}
