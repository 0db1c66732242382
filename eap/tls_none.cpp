// A build without a TLS library: no context can be made, so every
// TLS-based method says it is unavailable rather than start.
#include "eap/tls.h"

namespace hx::eap {

struct TlsContext::Impl {};
struct TlsSession::Impl {};

namespace {
constexpr const char* kNone = "this build has no TLS library";
}

bool TlsAvailable() {
  return false;
}

std::optional<std::array<uint8_t, 20>> CertificateThumbprint(const std::string&, const std::string&,
                                                             std::string* error) {
  *error = kNone;
  return std::nullopt;
}

TlsContext::TlsContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::Server(const std::string&, const std::string&, const std::string&,
                                               std::string* error) {
  *error = kNone;
  return nullptr;
}

std::shared_ptr<TlsContext> TlsContext::Client(const std::vector<std::string>&, const std::string&,
                                               const std::string&, std::string* error) {
  *error = kNone;
  return nullptr;
}

TlsSession::TlsSession(std::shared_ptr<TlsContext>, bool) : impl_(std::make_unique<Impl>()), error_(kNone) {}
TlsSession::~TlsSession() = default;

TlsSession::Step TlsSession::Handshake(ByteView, Bytes*) {
  return Step::kFailed;
}
bool TlsSession::Established() const {
  return false;
}
bool TlsSession::Encrypt(ByteView, Bytes*) {
  return false;
}
bool TlsSession::Decrypt(ByteView, SecretBytes*) {
  return false;
}
std::optional<SecretBytes> TlsSession::ExportKeys(std::string_view, size_t) const {
  return std::nullopt;
}
std::optional<std::string> TlsSession::PeerName() const {
  return std::nullopt;
}

}  // namespace hx::eap
