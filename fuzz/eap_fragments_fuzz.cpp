// Fuzz target for what an authenticator sends a station's EAP methods: the
// input is a run of packets (a length byte, then that many bytes), each read
// as EAP-TLS fragment type data by the reassembler, as an EAP packet, and
// as the data of the tunnels (TTLS attributes, PEAP's Result TLV and
// compressed inner packets, EAP-MSCHAPv2, LEAP), and handed to a LEAP peer.
// Nothing may crash; a reassembled message is never more than the limit nor
// other than the total it announced, and any message cut into fragments
// reassembles to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "eap/fragments.h"
#include "eap/mschap.h"
#include "eap/packet.h"
#include "eap/peer.h"
#include "eap/tunnel.h"

namespace {

using hx::eap::Bytes;
using hx::eap::ByteView;

// A broken promise stops the run, saying which.
void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}
#define CHECK(x) Check((x), #x)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hx::eap::Reassembler reassembler;
  hx::eap::PeerCredentials credentials;
  credentials.method = hx::eap::kLeap;
  credentials.userName = "fuzz";
  credentials.password = {'p', 'w'};
  hx::eap::PeerSession leap(credentials);
  for (size_t at = 0; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    // Exactly the packet's bytes on the heap, so a read past them is caught.
    const Bytes packet(data + at + 1, data + at + 1 + n);
    at += 1 + n;

    const auto piece = hx::eap::ReadTlsPiece(packet);
    const auto status = reassembler.Add(packet);
    if (status == hx::eap::Reassembler::Status::kComplete) {
      CHECK(reassembler.Message().size() <= hx::eap::kMaxTlsMessage);
      // A whole message in one packet is that packet's data.
      if (piece && !reassembler.InProgress() && piece->total)
        CHECK(reassembler.Message().size() == *piece->total);
    }

    if (const auto eap = hx::eap::Parse(packet)) {
      CHECK(eap->data.size() + hx::eap::kHeader <= packet.size());
      leap.Receive(*eap);
    }
    if (const auto avps = hx::eap::ReadAvps(packet)) {
      for (const auto& avp : *avps) CHECK(avp.data.size() <= packet.size());
    }
    hx::eap::ReadResultTlv(packet);
    hx::eap::ExpandInner(packet, hx::eap::kRequest, 1);
    if (const auto message = hx::eap::mschap::ReadMessage(packet))
      CHECK(message->text.size() <= packet.size());
    hx::eap::ReadLeap(packet);
    hx::eap::UnpadPassword(packet);

    // Any message, cut at any size, comes back whole.
    hx::eap::Fragmenter fragments(packet, 16 + (packet.empty() ? 0 : packet[0] % 112), 0);
    hx::eap::Reassembler again;
    hx::eap::Reassembler::Status last = hx::eap::Reassembler::Status::kError;
    while (fragments.Pending()) last = again.Add(fragments.Next());
    CHECK(last == hx::eap::Reassembler::Status::kComplete && again.Message() == packet);
  }
  return 0;
}
