// The TLS session over OpenSSL's libssl: each session reads from one memory
// BIO (what the other end sent) and writes into another (what goes to it).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "eap/tls.h"

namespace hx::eap {

struct TlsContext::Impl {
  SSL_CTX* ctx = nullptr;
  bool server = false;
  ~Impl() { SSL_CTX_free(ctx); }
};

struct TlsSession::Impl {
  std::shared_ptr<TlsContext> context;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // owned by ssl
  BIO* out = nullptr;  // owned by ssl
  std::string verifyError;
  ~Impl() { SSL_free(ssl); }
};

namespace {

// OpenSSL's queued errors as one line, the queue emptied.
std::string OpenSslErrors(const char* fallback) {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? fallback : text;
}

// The first reason a peer's certificate chain was refused, kept for the
// session's error text.
int RememberVerifyError(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* impl = ssl ? static_cast<TlsSession::Impl*>(SSL_get_app_data(ssl)) : nullptr;
  if (impl != nullptr && impl->verifyError.empty()) {
    std::string subject = "(unnamed)";
    if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
      char name[256] = {};
      X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
      subject = name;
    }
    impl->verifyError = std::string(X509_verify_cert_error_string(X509_STORE_CTX_get_error(store))) +
                        " (certificate " + subject + ")";
  }
  return 0;
}

SSL_CTX* NewContext(bool server, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) {
    *error = OpenSslErrors("no TLS context");
    return nullptr;
  }
  // The methods' keys are defined on TLS 1.2; no tickets or renegotiation.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  return ctx;
}

bool LoadIdentity(SSL_CTX* ctx, const std::string& certificateFile, const std::string& keyFile,
                  std::string* error) {
  if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1) {
    *error = certificateFile + ": not a usable certificate: " + OpenSslErrors("unreadable");
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = keyFile + ": not a usable private key: " + OpenSslErrors("unreadable");
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = keyFile + ": does not belong to the certificate " + certificateFile;
    ERR_clear_error();
    return false;
  }
  return true;
}

// Moves what the session wrote for the other end into `out`.
void Drain(BIO* bio, Bytes* out) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  if (n > 0) out->insert(out->end(), data, data + n);
  (void)BIO_reset(bio);
}

bool Feed(BIO* bio, ByteView in) {
  return in.empty() || BIO_write(bio, in.data(), static_cast<int>(in.size())) == static_cast<int>(in.size());
}

}  // namespace

bool TlsAvailable() {
  return true;
}

std::optional<std::array<uint8_t, 20>> CertificateThumbprint(const std::string& certificateFile,
                                                             const std::string& keyFile, std::string* error) {
  BIO* bio = BIO_new_file(certificateFile.c_str(), "r");
  X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (cert == nullptr) {
    *error = certificateFile + ": not a PEM certificate";
    ERR_clear_error();
    return std::nullopt;
  }
  std::optional<std::array<uint8_t, 20>> thumbprint;
  if (!keyFile.empty()) {
    BIO* keyBio = BIO_new_file(keyFile.c_str(), "r");
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(keyBio);
    const bool matches = key != nullptr && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
      *error = keyFile + (key == nullptr ? ": not an unencrypted PEM private key"
                                         : ": does not belong to the certificate " + certificateFile);
      ERR_clear_error();
      X509_free(cert);
      return std::nullopt;
    }
  }
  std::array<uint8_t, 20> digest{};
  unsigned length = 0;
  if (X509_digest(cert, EVP_sha1(), digest.data(), &length) == 1 && length == digest.size())
    thumbprint = digest;
  X509_free(cert);
  if (!thumbprint) *error = certificateFile + ": no thumbprint";
  return thumbprint;
}

TlsContext::TlsContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::Server(const std::string& certificateFile, const std::string& keyFile,
                                               const std::string& clientCaFile, std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->server = true;
  impl->ctx = NewContext(true, error);
  if (impl->ctx == nullptr || !LoadIdentity(impl->ctx, certificateFile, keyFile, error)) return nullptr;
  if (!clientCaFile.empty()) {
    if (SSL_CTX_load_verify_locations(impl->ctx, clientCaFile.c_str(), nullptr) != 1) {
      *error = clientCaFile + ": not a usable CA certificate: " + OpenSslErrors("unreadable");
      return nullptr;
    }
    // The client is told which CA its certificate must come from.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCaFile.c_str()))
      SSL_CTX_set_client_CA_list(impl->ctx, names);
  }
  return std::make_shared<TlsContext>(std::move(impl));
}

std::shared_ptr<TlsContext> TlsContext::Client(const std::vector<std::string>& trustedCaFiles,
                                               const std::string& certificateFile, const std::string& keyFile,
                                               std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->ctx = NewContext(false, error);
  if (impl->ctx == nullptr) return nullptr;
  for (const std::string& file : trustedCaFiles) {
    if (SSL_CTX_load_verify_locations(impl->ctx, file.c_str(), nullptr) != 1) {
      *error = file + ": not a usable CA certificate: " + OpenSslErrors("unreadable");
      return nullptr;
    }
  }
  if (!certificateFile.empty() && !LoadIdentity(impl->ctx, certificateFile, keyFile, error)) return nullptr;
  return std::make_shared<TlsContext>(std::move(impl));
}

TlsSession::TlsSession(std::shared_ptr<TlsContext> context, bool requireClientCertificate)
    : impl_(std::make_unique<Impl>()) {
  impl_->context = std::move(context);
  TlsContext::Impl& ctx = impl_->context->impl();
  impl_->ssl = SSL_new(ctx.ctx);
  impl_->in = BIO_new(BIO_s_mem());
  impl_->out = BIO_new(BIO_s_mem());
  if (impl_->ssl == nullptr || impl_->in == nullptr || impl_->out == nullptr) {
    BIO_free(impl_->in);
    BIO_free(impl_->out);
    SSL_free(impl_->ssl);
    impl_->ssl = nullptr;
    error_ = OpenSslErrors("no TLS session");
    return;
  }
  // An empty memory BIO means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(impl_->in, -1);
  SSL_set_bio(impl_->ssl, impl_->in, impl_->out);
  SSL_set_app_data(impl_->ssl, impl_.get());
  if (ctx.server) {
    const int mode =
        requireClientCertificate ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_NONE;
    SSL_set_verify(impl_->ssl, mode, RememberVerifyError);
    SSL_set_accept_state(impl_->ssl);
  } else {
    SSL_set_verify(impl_->ssl, SSL_VERIFY_PEER, RememberVerifyError);
    SSL_set_connect_state(impl_->ssl);
  }
}

TlsSession::~TlsSession() = default;

TlsSession::Step TlsSession::Handshake(ByteView in, Bytes* out) {
  if (impl_->ssl == nullptr) return Step::kFailed;
  if (!Feed(impl_->in, in)) {
    error_ = "the TLS data could not be buffered";
    return Step::kFailed;
  }
  ERR_clear_error();
  const int result = SSL_do_handshake(impl_->ssl);
  Drain(impl_->out, out);
  if (result == 1) return Step::kEstablished;
  const int reason = SSL_get_error(impl_->ssl, result);
  if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return Step::kContinue;
  const bool server = impl_->context->impl().server;
  if (!impl_->verifyError.empty()) {
    error_ = std::string(server ? "the client's" : "the server's") +
             " certificate was not accepted: " + impl_->verifyError;
    ERR_clear_error();
  } else {
    error_ = "the TLS handshake failed: " + OpenSslErrors("the other end closed it");
  }
  return Step::kFailed;
}

bool TlsSession::Established() const {
  return impl_->ssl != nullptr && SSL_is_init_finished(impl_->ssl) == 1;
}

bool TlsSession::Encrypt(ByteView plain, Bytes* out) {
  if (!Established()) return false;
  ERR_clear_error();
  if (!plain.empty() && SSL_write(impl_->ssl, plain.data(), static_cast<int>(plain.size())) <= 0) {
    error_ = "TLS could not encrypt: " + OpenSslErrors("write refused");
    return false;
  }
  Drain(impl_->out, out);
  return true;
}

bool TlsSession::Decrypt(ByteView in, SecretBytes* plain) {
  if (!Established() || !Feed(impl_->in, in)) return false;
  ERR_clear_error();
  uint8_t buffer[2048];
  for (;;) {
    const int n = SSL_read(impl_->ssl, buffer, sizeof buffer);
    if (n > 0) {
      plain->insert(plain->end(), buffer, buffer + n);
      continue;
    }
    WipeSecret(buffer, sizeof buffer);
    const int reason = SSL_get_error(impl_->ssl, n);
    if (reason == SSL_ERROR_WANT_READ) return true;
    error_ = "TLS could not decrypt: " + OpenSslErrors("the other end closed the connection");
    return false;
  }
}

std::optional<SecretBytes> TlsSession::ExportKeys(std::string_view label, size_t length) const {
  if (!Established()) return std::nullopt;
  SecretBytes keys(length);
  if (SSL_export_keying_material(impl_->ssl, keys.data(), keys.size(), label.data(), label.size(), nullptr, 0,
                                 0) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  return keys;
}

std::optional<std::string> TlsSession::PeerName() const {
  if (impl_->ssl == nullptr) return std::nullopt;
  X509* cert = SSL_get0_peer_certificate(impl_->ssl);
  if (cert == nullptr) return std::nullopt;
  char name[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name) < 0)
    return std::string();
  return std::string(name);
}

}  // namespace hx::eap
