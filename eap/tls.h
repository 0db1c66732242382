// A TLS connection run over EAP rather than a socket: the bytes each side
// sends come out of the session as they are made, and what arrives is fed
// in, so that the EAP methods can carry them in their packets. Both ends use
// it: the station's EAP-TLS, PEAP and EAP-TTLS, and the authentication
// server's. TLS 1.2, the version these methods' keys are defined for.
//
// Natively it runs over OpenSSL's libssl with memory BIOs. A build without
// a TLS library (the Windows one) has none: TlsAvailable() says so and no
// context can be made.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eap/packet.h"

namespace hx::eap {

bool TlsAvailable();

// The SHA-1 thumbprint of the certificate in a PEM file, once its key (when
// given) was found to belong to it; none, and why in *error, otherwise.
std::optional<std::array<uint8_t, 20>> CertificateThumbprint(const std::string& certificateFile,
                                                             const std::string& keyFile, std::string* error);

// What one end trusts and presents: made once, shared by its sessions.
class TlsContext {
 public:
  // A server presenting `certificateFile` (PEM, its chain may follow) with
  // its key, taking client certificates that chain to `clientCaFile`.
  static std::shared_ptr<TlsContext> Server(const std::string& certificateFile, const std::string& keyFile,
                                            const std::string& clientCaFile, std::string* error);
  // A client that takes a server's certificate only when it chains to one
  // of `trustedCaFiles`, presenting a certificate and key when given.
  static std::shared_ptr<TlsContext> Client(const std::vector<std::string>& trustedCaFiles,
                                            const std::string& certificateFile, const std::string& keyFile,
                                            std::string* error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  struct Impl;
  explicit TlsContext(std::unique_ptr<Impl> impl);
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

class TlsSession {
 public:
  enum class Step { kContinue, kEstablished, kFailed };

  // A server session may ask the client for a certificate (EAP-TLS) or not
  // (PEAP, TTLS); a client session answers whatever the server asks.
  TlsSession(std::shared_ptr<TlsContext> context, bool requireClientCertificate = false);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Runs the handshake on with the bytes that came (none to let a client
  // begin); what this end sends next is appended to `out`. On failure `out`
  // may hold an alert for the other end, and Error() says why.
  Step Handshake(ByteView in, Bytes* out);
  bool Established() const;

  // Application data, once established: records for `plain` appended to
  // `out`; the plain text of the records in `in` appended to `plain`.
  bool Encrypt(ByteView plain, Bytes* out);
  bool Decrypt(ByteView in, SecretBytes* plain);

  // Keying material of the TLS 1.2 PRF over the master secret, `label` and
  // the client's and server's randoms (RFC 5705 without context): where the
  // EAP methods take their MSK, EMSK and challenges from.
  std::optional<SecretBytes> ExportKeys(std::string_view label, size_t length) const;

  // Why the session failed, in words.
  const std::string& Error() const { return error_; }
  // The common name of the certificate the other end presented, if any.
  std::optional<std::string> PeerName() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace hx::eap
