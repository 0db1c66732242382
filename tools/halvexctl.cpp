// halvexctl: the configuration utility's command-line form, run against the
// simulated adapter. Opens the adapter, shows what it reports and what is
// stored for it in the registry, scans, joins an open, a WEP and a
// WPA2-Enterprise network (802.1X through the stand-in supplicant), leaves
// again, and shows the stored connection, the window messages and every
// request that went over the driver channel. On POSIX the registry
// lives in $HALVEX_STATE_DIR/registry.reg between runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Halvex.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "sim/message_recorder.h"
#include "sim/sim_adapter.h"
#include "sim/sim_registry.h"
#include "toolkit/odsim.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/control.h"
#endif

namespace {

namespace ndis = hx::sim::ndis;

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

const char* MessageName(uint64_t code) {
  switch (code) {
    case 0:
      return "disconnected";
    case 1:
      return "connected";
    case 4:
      return "link lost";
    case 5:
      return "media specific";
    case HALVEX_MSG_SUPP_CONNECTED:
      return "supplicant connected";
    default:
      return "";
  }
}

void PrintBssid(const char* label, const uint8_t* b) {
  std::printf("%-20s%02X-%02X-%02X-%02X-%02X-%02X\n", label, b[0], b[1], b[2], b[3], b[4], b[5]);
}

void PrintScanList(void* adapter) {
  std::vector<unsigned char> list(24576);
  ULONG returned = 0;
  const int result =
      HalvexQueryScanListLength(adapter, list.data(), static_cast<ULONG>(list.size()), returned);
  std::printf("Scan list:           result %d, %u bytes\n", result, static_cast<unsigned>(returned));
  if (result != 0) return;
  for (const auto& network : hx::sim::ReadScanList(list.data(), returned)) {
    const auto& b = network.bssid;
    std::printf("  %-14s %02X-%02X-%02X-%02X-%02X-%02X  channel %2u  %s\n", network.ssid.c_str(), b[0], b[1],
                b[2], b[3], b[4], b[5], static_cast<unsigned>(network.channel),
                network.privacy ? "secured" : "open");
  }
}

void Join(void* adapter, std::string ssid) {
  const int result = HalvexSetSsid(adapter, ssid.data(), static_cast<ULONG>(ssid.size()));
  std::printf("Join %-15s result %d (%s)\n", (ssid + ":").c_str(), result,
              result == 0   ? "joined"
              : result == 4 ? "no answer in time"
                            : "failed, settings rolled back");
}

// Waits (2 s at most) until the window has had a message `code`.
void WaitForCode(const hx::sim::MessageRecorder& log, uint64_t code) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (auto codes = log.Codes(); std::find(codes.begin(), codes.end(), code) == codes.end();
       codes = log.Codes()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !log.WaitForCount(codes.size() + 1, left)) return;
  }
}

// PEAP credentials, the network's security for the supplicant, then the join;
// the supplicant authenticates on its own and reports through the window.
void EnterpriseJoin(void* adapter, const hx::sim::MessageRecorder& log) {
  char user[] = "alice";
  char domain[] = "CORP";
  char password[] = "s3cret";
  char ssid[] = "HalvexCorp";
  std::printf("PEAP identity:      result %d\n", HalvexWPACreateIdentityPEAP(user, domain, password));
  std::printf("WPA information:    result %d\n", HalvexSetWPAInformation(adapter, 10, 3, nullptr, ssid));
  HalvexSetAuthMode(adapter, ndis::kAuthWpa2);
  HalvexSetWepStatus(adapter, 6);  // AES enabled
  Join(adapter, ssid);
  // The supplicant's own report that the keys are in: message 1008.
  WaitForCode(log, HALVEX_MSG_SUPP_CONNECTED);
  std::printf("Supplicant:         state %d, link state %d, authentication state %d\n",
              HalvexGetWPASuppStatus(0), HalvexGetWPASuppStatus(1), HalvexGetWPASuppStatus(2));
}

void Session(void* adapter, const hx::sim::Bytes& wepKey, const hx::sim::MessageRecorder& log) {
  unsigned char mac[6] = {};
  const int macResult = HalvexGetMacAddress(adapter, mac, sizeof mac);
  std::printf("Adapter opened.\n");
  if (macResult == 0) {
    PrintBssid("MAC address:", mac);
  } else {
    std::printf("MAC address:        unavailable (result %d)\n", macResult);
  }
  std::printf("Connection status:  %s\n", HalvexGetConnectStatus(adapter) ? "connected" : "not connected");
  HalvexGetMacAddress(adapter, mac, sizeof mac);  // served from the cache

  std::printf("\nScan:               result %d\n", HalvexScan(adapter));
  PrintScanList(adapter);

  std::printf("\n");
  HalvexSetAuthMode(adapter, ndis::kAuthOpen);
  HalvexSetWepStatus(adapter, ndis::kWepDisabled);
  Join(adapter, "HalvexOpen");
  unsigned char ssid[33] = {};
  if (HalvexQuerySsid(adapter, ssid, sizeof ssid) == 0) std::printf("SSID:               %s\n", ssid);

  HalvexSetWepStatus(adapter, ndis::kWepEnabled);
  hx::sim::Bytes key = wepKey;
  std::printf("WEP key 1:          result %d\n",
              HalvexSetWepKey(adapter, 1, key.data(), static_cast<unsigned>(key.size()), 1));
  Join(adapter, "HalvexWEP");
  unsigned char bssid[6] = {};
  if (HalvexQueryBssid(adapter, bssid) == 0) PrintBssid("BSSID:", bssid);

  EnterpriseJoin(adapter, log);

  HalvexWPAPortDown();
  std::printf("Disassociate:       result %d\n", HalvexSetDisassociate(adapter));
  std::printf("Connection status:  %s\n", HalvexGetConnectStatus(adapter) ? "connected" : "not connected");
}

// The registry as the driver's installation leaves it, unless an earlier run
// already left its own state there.
void PrepareRegistry() {
#ifndef _WIN32
  const char* dir = std::getenv("HALVEX_STATE_DIR");
  const std::string state = dir != nullptr && *dir != '\0' ? dir : "halvex-state";
  mkdir(state.c_str(), 0755);
  const std::string file = state + "/registry.reg";
  for (const std::string& problem : hx::posix::UseRegistryFile(file).problems)
    std::fprintf(stderr, "halvexctl: %s\n", problem.c_str());
  std::printf("Registry state:     %s\n", file.c_str());
  // Windows' own configuration service runs, but leaves this adapter alone.
  hx::posix::SetService("WZCSVC", SERVICE_RUNNING);
#endif
  hx::platform::UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, hx::sim::kNtAdapterKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    std::string error;
    if (hx::platform::ImportRegText(hx::sim::RegistrySetup(hx::sim::Family::kNt), &error) != ERROR_SUCCESS)
      std::fprintf(stderr, "halvexctl: adapter setup not imported: %s\n", error.c_str());
  }
}

void PrintText(const char* label, int (*query)(void*, char*, ULONG), void* adapter) {
  char text[200] = {};
  const int result = query(adapter, text, sizeof text);
  if (result == 0) {
    std::printf("%-20s%s\n", label, text);
  } else {
    std::printf("%-20sunavailable (result %d)\n", label, result);
  }
}

void Identity(void* adapter) {
  PrintText("Description:", HalvexQueryDeviceDesc, adapter);
  PrintText("Driver version:", HalvexQueryDriverVersion, adapter);
  PrintText("Driver date:", HalvexQueryDriverDate, adapter);
  PrintText("Adapter name:", HalvexQueryAdapterName, adapter);
  PrintText("Registry key:", HalvexQueryRegistryPath, adapter);
  PrintText("Profile in use:", HalvexQueryProfileInUse, adapter);
  ULONG power = 0, wifi = 0;
  if (HalvexQueryRegPowerMode(adapter, power) == 0) std::printf("Stored PowerMode:   %u\n", unsigned(power));
  if (HalvexQueryRegWiFiEnable(adapter, wifi) == 0) std::printf("Stored WIFI:        %u\n", unsigned(wifi));
  int managed = 0;
  const int check = HalvexQueryWZCStatusCheck(managed);
  std::printf("Windows wireless configuration: %s\n", check != 0     ? "not running"
                                                      : managed != 0 ? "manages the adapter"
                                                                     : "leaves the adapter to us");
}

void LastConnection(void* adapter) {
  CONNECTIONINFO info{};
  if (HalvexQueryLastConn(adapter, &info) != 0) return;
  std::printf(
      "\nStored connection:  profile %.40s, SSID %.32s, network mode %u, channel %u, auth %u, WEP %u,"
      " key size %u\n",
      info.ProfileName, reinterpret_cast<const char*>(info.DesiredSSID), unsigned(info.NetworkMode),
      unsigned(info.Channel), unsigned(info.AuthMode), unsigned(info.WepStatus), unsigned(info.WepKeySize));
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
  // Outlives the library's monitor, which may notify it until detach.
  hx::sim::MessageRecorder log;
  if (!hx::ProcessAttach()) {
    std::fprintf(stderr, "halvexctl: the library could not start\n");
    return 1;
  }
  // The simulated adapter's world, with a WEP network beside the default
  // ones and no association yet.
  const hx::sim::Bytes wepKey = {0x4B, 0x65, 0x79, 0x00, 0x21};
  hx::sim::RadioWorld world = hx::sim::RadioWorld::Default();
  world.current.reset();
  world.accessPoints.push_back(hx::sim::WepAccessPoint("HalvexWEP", 0x04, 3, wepKey));
  world.accessPoints.push_back(hx::sim::EnterpriseAccessPoint("HalvexCorp", 0x05, 6, "s3cret"));
  // The stand-in toolkit plays the supplicant's side of 802.1X.
  ODSIM_EnableSupplicant(1);
  auto sim = hx::sim::SimAdapter::Create();
  sim->SetWorld(world);
  sim->Install();
  PrepareRegistry();
  hx::sim::InstancePath instance(sim);

  int status = 0;
  HalvexInitialize(log.window());
  void* adapter = nullptr;
  if (HalvexOpenAdapter(adapter) != 0) {
    std::fprintf(stderr, "halvexctl: no adapter\n");
    status = 1;
  } else {
    Identity(adapter);
    Session(adapter, wepKey, log);
    LastConnection(adapter);
    // Stored in the registry: the next run shows it as the profile in use.
    char profile[] = "halvexctl";
    std::printf("Profile for the next run: result %d\n",
                HalvexSetProfileInUse(adapter, profile, sizeof profile - 1));
    // Three joins and the disassociation each bring one message; the
    // supplicant adds its texts and its own connected message.
    std::printf("\nWindow messages:\n");
    WaitForCode(log, 0);  // the disassociation's
    for (const hx::sim::Message& m : log.Messages()) {
      if (m.hasText) {
        std::printf("  WM_APP %llu \"%s\"\n", static_cast<unsigned long long>(m.code), m.text.c_str());
      } else {
        std::printf("  WM_APP %llu %s\n", static_cast<unsigned long long>(m.code), MessageName(m.code));
      }
    }
    HalvexCloseAdapter(adapter);
    PrintChannel(*sim);
  }
  hx::ProcessDetach();
  sim->Uninstall();
  return status;
}
