// An outside caller of the installed library: starts the simulated machine
// in the directory it is given, opens the adapter and reads its MAC address.
#include <Halvex.h>
#include <HalvexSim.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s state-dir\n", argv[0]);
    return 2;
  }
  char messages[512] = {};
  if (HalvexSimStart(argv[1], messages, sizeof messages) != HALVEXSIM_OK) {
    std::fprintf(stderr, "HalvexSimStart failed: %s\n", messages);
    return 1;
  }
  int status = 0;
  void* adapter = nullptr;
  const int opened = HalvexOpenAdapter(adapter);
  if (opened != 0 || adapter == nullptr) {
    std::fprintf(stderr, "HalvexOpenAdapter: %d\n", opened);
    status = 1;
  } else {
    unsigned char mac[6] = {};
    const int read = HalvexGetMacAddress(adapter, mac, sizeof mac);
    char text[18] = {};
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    std::printf("MAC address %s (result %d)\n", text, read);
    if (read != 0 || std::strcmp(text, "00-1A-2B-3C-4D-5E") != 0) status = 1;
    if (HalvexCloseAdapter(adapter) != 0) status = 1;
  }
  if (HalvexSimStop(messages, sizeof messages) != HALVEXSIM_OK) {
    std::fprintf(stderr, "HalvexSimStop failed: %s\n", messages);
    status = 1;
  }
  return status;
}
