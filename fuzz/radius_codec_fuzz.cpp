// Fuzz target for RADIUS packets from the network: any bytes are read as a
// packet, written back and read again (the same packet), their EAP-Message
// joined, their vendor attributes and MPPE keys read, both authenticators
// checked, and the packet served by the EAP server (LEAP and the identity
// exchange; no TLS) as if its Message-Authenticator had held. Nothing may
// crash, and no forged packet may verify.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "radius/codec.h"
#include "radius/eap_server.h"

namespace {

using hx::radius::Bytes;

// A broken promise stops the run, saying which.
void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}
#define CHECK(x) Check((x), #x)

hx::radius::EapServer& Server() {
  static hx::radius::EapServer* server = [] {
    hx::radius::EapServerConfig config;
    config.secret = "fuzz";
    config.firstMethod = 17;                           // LEAP: the method that runs without TLS
    config.sessionLifetime = std::chrono::seconds(0);  // inputs leave no sessions behind
    config.password = [](std::string_view, std::string_view user) -> std::optional<std::string> {
      if (user == "fuzz") return std::string("pw");
      return std::nullopt;
    };
    return new hx::radius::EapServer(std::move(config));
  }();
  return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the packet's bytes on the heap, so a read past them is caught.
  const Bytes bytes(data, data + size);
  const hx::radius::Authenticator request{};
  // Arbitrary bytes carry no valid authenticator under a secret they never saw.
  if (size >= 20) {
    CHECK(!hx::radius::VerifyResponse(bytes, request, "a secret of sixteen"));
  }
  hx::radius::VerifyRequest(bytes, "fuzz");
  const auto packet = hx::radius::Parse(bytes);
  if (!packet) return 0;
  const Bytes written = hx::radius::Encode(*packet);
  const auto again = hx::radius::Parse(written);
  CHECK(again && again->attributes.size() == packet->attributes.size() && again->code == packet->code);
  if (const auto eap = hx::radius::EapMessage(*packet)) CHECK(eap->size() <= size);
  for (uint8_t type = 0; type < 32; ++type) {
    if (const auto value = hx::radius::FindVendorAttribute(*packet, hx::radius::kVendorMicrosoft, type)) {
      CHECK(value->size() <= size);
      if (const auto key = hx::radius::DecryptMppeKey(*value, "fuzz", packet->authenticator))
        CHECK(key->size() < value->size());
    }
  }
  Server().Handle(*packet, hx::radius::Endpoint::Loopback(1812));
  return 0;
}
