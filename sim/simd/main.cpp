// halvex-simd: the simulated machine's service of one state directory. Started
// on demand by the first process that uses the directory (HalvexSimStart), it
// serves every process of it and ends when none has used it for a while.
//
//   halvex-simd --state-dir DIR [--idle SECONDS] [--ready-fd N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/service.h"

int main(int argc, char** argv) {
  hx::sim::ServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--state-dir" && hasValue) {
      options.dir = argv[++i];
    } else if (arg == "--idle" && hasValue) {
      char* end = nullptr;
      const long seconds = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || seconds < 0) {
        std::fprintf(stderr, "halvex-simd: --idle takes a number of seconds (0: never)\n");
        return 2;
      }
      options.idle = std::chrono::seconds(seconds);
    } else if (arg == "--ready-fd" && hasValue) {
      options.readyFd = std::atoi(argv[++i]);
    } else if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: halvex-simd --state-dir DIR [--idle SECONDS] [--ready-fd N]\n"
          "Serves the simulated Halvex machine of DIR to every process that uses it; ends after\n"
          "SECONDS without a client (default 60, 0: never), on SIGTERM, or when asked.\n");
      return 0;
    } else {
      std::fprintf(stderr, "halvex-simd: unexpected argument %s (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (options.dir.empty()) {
    std::fprintf(stderr, "halvex-simd: --state-dir is required\n");
    return 2;
  }
  return hx::sim::RunService(options);
}
