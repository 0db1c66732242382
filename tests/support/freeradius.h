// FreeRADIUS as the tests' judge: a copy of the system's configuration in a
// temporary directory (its test certificates made by `make` in the copied
// certs/, a loopback client with a secret, a user in
// mods-config/files/authorize, the listeners moved to a free unprivileged
// loopback port), `freeradius -X -d DIR` started and read until it is ready,
// stopped at the end. One for every test that needs it.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace hx::test {

class FreeRadius {
 public:
  // The running server, started on first use; none, and why in *why, when
  // it cannot run here (not installed, its configuration unreadable...).
  static FreeRadius* Shared(std::string* why);
  // Stops the shared one (the suites' tear-down).
  static void StopShared();
  ~FreeRadius();

  std::string Address() const;  // 127.0.0.1:PORT
  std::string Secret() const { return "halvex-test-secret"; }
  const std::string& CaFile() const { return caFile_; }
  // Its test client certificate and that certificate's key, unencrypted.
  const std::string& ClientCertificate() const { return clientCertificate_; }
  const std::string& ClientKey() const { return clientKey_; }
  // The user in its users file, and their password.
  static std::string User() { return "alice"; }
  static std::string Password() { return "s3cret"; }
  // The name its client certificate was made for.
  static std::string CertificateUser() { return "user@example.org"; }
  const std::string& Directory() const { return dir_; }

  // Its output so far, and waits (bounded) until `seen` holds for it.
  std::string Log() const;
  bool WaitForLog(const std::function<bool(const std::string&)>& seen) const;

 private:
  FreeRadius() = default;
  bool Start(std::string* why);
  void Read(int fd);

  std::string dir_;
  uint16_t port_ = 0;
  std::string caFile_, clientCertificate_, clientKey_;
  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable grew_;
  std::string log_;
  bool closed_ = false;
};

// The value of the last "MS-MPPE-Recv-Key = 0x..." FreeRADIUS logged in
// a "Sent Access-Accept" block, as bytes.
std::optional<std::vector<uint8_t>> LastAcceptedRecvKey(const std::string& log);

}  // namespace hx::test
