// halvexctl: the configuration utility's command-line form, run against the
// simulated adapter. Opens the adapter, shows what it reports and every
// request that went over the driver channel.
#include <cstdio>
#include <string>

#include "Halvex.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "sim/sim_adapter.h"

namespace {

const char* CodeName(uint32_t code) {
  switch (code) {
    case hx::IOCTL_OID_QUERY:
      return "IOCTL_OID_QUERY";
    case hx::IOCTL_OID_SET:
      return "IOCTL_OID_SET";
    case hx::IOCTL_REGISTER_EVENT:
      return "IOCTL_REGISTER_EVENT";
    case hx::IOCTL_REGISTER_EXIT_EVENT:
      return "IOCTL_REGISTER_EXIT_EVENT";
    default:
      return "?";
  }
}

void PrintChannel(const hx::sim::SimAdapter& sim) {
  std::printf("\nRequests over the driver channel:\n");
  for (const auto& call : sim.Calls()) {
    std::printf("  %-26s in %4u out %4u", CodeName(call.code), call.inLength, call.outLength);
    if (call.code == hx::IOCTL_OID_QUERY || call.code == hx::IOCTL_OID_SET) {
      std::printf("  OID 0x%08X  payload", call.Oid());
      const auto payload = call.Payload();
      for (size_t i = 0; i < payload.size() && i < 16; ++i) std::printf(" %02X", payload[i]);
      if (payload.size() > 16) std::printf(" ...");
    } else {
      std::printf("  handle value");
      for (uint8_t b : call.input) std::printf(" %02X", b);
    }
    std::printf("\n");
  }
}

}  // namespace

int main() {
  if (!hx::ProcessAttach()) {
    std::fprintf(stderr, "halvexctl: the library could not start\n");
    return 1;
  }
  auto sim = hx::sim::SimAdapter::Create();
  sim->Install();

  void* adapter = nullptr;
  int status = 0;
  if (HalvexOpenAdapter(adapter) != 0) {
    std::fprintf(stderr, "halvexctl: no adapter\n");
    status = 1;
  } else {
    unsigned char mac[6] = {};
    const int macResult = HalvexGetMacAddress(adapter, mac, sizeof mac);
    std::printf("Adapter opened.\n");
    if (macResult == 0) {
      std::printf("MAC address:        %02X-%02X-%02X-%02X-%02X-%02X\n", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    } else {
      std::printf("MAC address:        unavailable (result %d)\n", macResult);
    }
    std::printf("Connection status:  %s\n", HalvexGetConnectStatus(adapter) ? "connected" : "not connected");
    HalvexGetMacAddress(adapter, mac, sizeof mac);  // served from the cache
    HalvexCloseAdapter(adapter);
    PrintChannel(*sim);
  }
  hx::ProcessDetach();
  sim->Uninstall();
  return status;
}
