// Loads Halvex.dll from this program's directory, beside which the test put
// the toolkit with decorated names, with plain names, or none at all
// ("present" or "absent" on the command line), and checks that the library
// loads, that its own exports work, and what its supplicant exports answer.
// Terminating the supplicant unloads the toolkit. Exits 1 on any mismatch.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void Check(const char* what, long got, long want) {
  std::printf("%s %s: %ld", got == want ? "ok  " : "FAIL", what, got);
  if (got != want) {
    std::printf(", expected %ld", want);
    ++failures;
  }
  std::printf("\n");
}

// An export under its GNU name; the process ends when it is missing.
template <typename F>
F Export(HMODULE dll, const char* name) {
  void* address = reinterpret_cast<void*>(GetProcAddress(dll, name));
  if (address == nullptr) {
    std::printf("FAIL Halvex.dll exports no %s\n", name);
    std::exit(1);
  }
  return reinterpret_cast<F>(address);
}

std::string Beside(const char* file) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of('\\') + 1) + file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[1], "present") != 0 && std::strcmp(argv[1], "absent") != 0)) {
    std::printf("usage: toolkit_run present|absent\n");
    return 2;
  }
  const bool present = std::strcmp(argv[1], "present") == 0;
  const long refused = present ? 0 : 1;  // what a supplicant export answers

  HMODULE dll = LoadLibraryA(Beside("Halvex.dll").c_str());
  if (dll == nullptr) {
    std::printf("FAIL Halvex.dll does not load: error %lu\n", GetLastError());
    return 1;
  }
  Check("odSupp_M.dll loaded with it", GetModuleHandleA("odSupp_M.dll") != nullptr, present);

  // The library's own exports, which need no toolkit.
  auto initialize = Export<int (*)(HWND)>(dll, "_Z16HalvexInitializeP6HWND__");
  auto openAdapter = Export<int (*)(void*&)>(dll, "_Z17HalvexOpenAdapterRPv");
  Check("HalvexInitialize(null window)", initialize(nullptr), 1);
  void* adapter = reinterpret_cast<void*>(1);
  Check("HalvexOpenAdapter without the device", openAdapter(adapter), 1);
  Check("  adapter left null", adapter == nullptr, 1);

  // The supplicant bridge.
  auto wpaInitialize = Export<int (*)()>(dll, "_Z19HalvexWPAInitializev");
  auto createPeap = Export<int (*)(char*, char*, char*)>(dll, "_Z27HalvexWPACreateIdentityPEAPPcS_S_");
  auto setWpaInformation =
      Export<int (*)(void*, ULONG, ULONG, unsigned char*, char*)>(dll, "_Z23HalvexSetWPAInformationPvmmPhPc");
  auto suppStatus = Export<int (*)(ULONG)>(dll, "_Z22HalvexGetWPASuppStatusm");
  auto trace = Export<void (*)(ULONG)>(dll, "_Z14HalvexWPATracem");
  char user[] = "alice", domain[] = "CORP", password[] = "secret", ssid[] = "net";
  unsigned char passphrase[] = "passphrase";
  Check("HalvexWPACreateIdentityPEAP(CORP\\alice)", createPeap(user, domain, password), refused);
  Check("HalvexSetWPAInformation(WPA-PSK)", setWpaInformation(nullptr, 3, 4, passphrase, ssid), refused);
  Check("HalvexSetWPAInformation(mode 4): port down only", setWpaInformation(nullptr, 4, 0, nullptr, nullptr),
        0);
  Check("HalvexGetWPASuppStatus(0)", suppStatus(0), 0);
  trace(0);
  Check("HalvexWPAInitialize() again", wpaInitialize(), refused);
  Check("  odSupp_M.dll loaded again", GetModuleHandleA("odSupp_M.dll") != nullptr, present);

  auto terminate = Export<void (*)()>(dll, "_Z18HalvexWPATerminatev");
  terminate();
  Check("odSupp_M.dll unloaded by HalvexWPATerminate", GetModuleHandleA("odSupp_M.dll") != nullptr, 0);
  std::printf(failures == 0 ? "toolkit %s: all checks passed\n" : "toolkit %s: FAILED\n", argv[1]);
  return failures == 0 ? 0 : 1;
}
