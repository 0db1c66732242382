#ifndef _WIN32
#include "tests/support/eapol_test.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>

namespace hx::test {

std::optional<std::string> RunEapolTest(const std::string& network, const std::string& address,
                                        const std::string& secret, std::string* why) {
  if (std::system("command -v eapol_test >/dev/null 2>&1") != 0) {
    *why = "eapol_test is not installed (Debian package eapoltest)";
    return std::nullopt;
  }
  static std::atomic<int> serial{0};
  const std::string conf = ::testing::TempDir() + "halvex-eapol-" + std::to_string(getpid()) + "-" +
                           std::to_string(++serial) + ".conf";
  {
    std::ofstream out(conf, std::ios::trunc);
    out << "network={\n" << network << "}\n";
  }
  const size_t colon = address.rfind(':');
  const std::string command = "eapol_test -c '" + conf + "' -a " + address.substr(0, colon) + " -p " +
                              address.substr(colon + 1) + " -s '" + secret + "' -t 10 2>&1";
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    pclose(pipe);
  }
  std::remove(conf.c_str());
  return output;
}

}  // namespace hx::test
#endif
