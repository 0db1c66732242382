// The test certificates of the built-in authentication server: a CA of its
// own, the server's certificate and one client certificate for each user
// (EAP-TLS), made with OpenSSL on first need and kept as PEM files (keys
// unencrypted, readable by their owner only).
#pragma once

#include <filesystem>
#include <string>

namespace hx::radius {

struct CertificateFiles {
  std::filesystem::path certificate, key;
};

// The CA in `dir` (ca.pem, ca.key), made when missing or unreadable.
bool EnsureCa(const std::filesystem::path& dir, CertificateFiles* ca, std::string* error);

// A certificate named `stem` (stem.pem, stem.key in `dir`) for `commonName`
// signed by `ca`, for a server or for a client; kept when it is there and
// signed by that CA, made anew otherwise.
bool EnsureCertificate(const std::filesystem::path& dir, const std::string& stem,
                       const std::string& commonName, bool server, const CertificateFiles& ca,
                       CertificateFiles* made, std::string* error);

}  // namespace hx::radius
