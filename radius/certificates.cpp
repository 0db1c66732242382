#include "radius/certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace hx::radius {
namespace {

namespace fs = std::filesystem;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using UniqueX509 = std::unique_ptr<X509, X509Free>;
using UniqueKey = std::unique_ptr<EVP_PKEY, KeyFree>;
using UniqueBio = std::unique_ptr<BIO, BioFree>;

constexpr long kTenYears = 10L * 365 * 24 * 3600;

std::string Errors(const std::string& what) {
  std::string text = what;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    text += std::string(": ") + line;
  }
  return text;
}

UniqueX509 ReadCertificate(const fs::path& path) {
  UniqueBio bio(BIO_new_file(path.string().c_str(), "r"));
  UniqueX509 cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert;
}

UniqueKey ReadKey(const fs::path& path) {
  UniqueBio bio(BIO_new_file(path.string().c_str(), "r"));
  UniqueKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

// Writes `text` through a temporary file and a rename; keys only for their owner.
bool WriteFile(const fs::path& path, const std::string& text, bool secret, std::string* error) {
  fs::path temporary = path;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (secret) {
      std::error_code ignored;
      fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, ignored);
    }
    out << text;
    if (!out.flush()) {
      *error = temporary.string() + ": cannot be written";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) *error = path.string() + ": " + ec.message();
  return !ec;
}

template <class Write>
std::string Pem(Write write) {
  UniqueBio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `commonName` on a fresh P-256 key, signed by the issuer
// (itself when none is given).
bool Make(const std::string& commonName, const char* role, X509* issuer, EVP_PKEY* issuerKey,
          UniqueX509* cert, UniqueKey* key) {
  key->reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  cert->reset(X509_new());
  if (!*key || !*cert) return false;
  X509* x = cert->get();
  BIGNUM* serial = BN_new();
  const bool serialOk = serial != nullptr && BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                        BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x)) != nullptr;
  BN_free(serial);
  if (!serialOk || X509_set_version(x, 2) != 1 || X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(x), kTenYears) == nullptr || X509_set_pubkey(x, key->get()) != 1)
    return false;
  X509_NAME* name = X509_get_subject_name(x);
  const auto* organisation = reinterpret_cast<const unsigned char*>("Halvex simulation");
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, organisation, -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) != 1)
    return false;
  X509* signer = issuer != nullptr ? issuer : x;
  if (X509_set_issuer_name(x, X509_get_subject_name(signer)) != 1) return false;
  const std::string_view kind = role;
  bool ok = AddExtension(x, signer, NID_subject_key_identifier, "hash");
  if (kind == "ca") {
    ok = ok && AddExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && AddExtension(x, signer, NID_authority_key_identifier, "keyid") &&
         AddExtension(x, signer, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(x, signer, NID_key_usage, "critical,digitalSignature,keyAgreement") &&
         AddExtension(x, signer, NID_ext_key_usage, kind == "server" ? "serverAuth" : "clientAuth");
  }
  return ok && X509_sign(x, issuerKey != nullptr ? issuerKey : key->get(), EVP_sha256()) > 0;
}

bool Save(const CertificateFiles& files, X509* cert, EVP_PKEY* key, std::string* error) {
  const std::string certificate = Pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); });
  const std::string privateKey =
      Pem([&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
  if (certificate.empty() || privateKey.empty()) {
    *error = Errors("the certificate could not be written out");
    return false;
  }
  return WriteFile(files.key, privateKey, true, error) &&
         WriteFile(files.certificate, certificate, false, error);
}

// Whether the files hold a certificate and its key, valid now, and signed by
// `issuerKey` (itself when null).
bool Usable(const CertificateFiles& files, EVP_PKEY* issuerKey) {
  const UniqueX509 cert = ReadCertificate(files.certificate);
  const UniqueKey key = ReadKey(files.key);
  if (!cert || !key || X509_check_private_key(cert.get(), key.get()) != 1) return false;
  const bool signedRight = X509_verify(cert.get(), issuerKey != nullptr ? issuerKey : key.get()) == 1;
  const bool current = X509_cmp_current_time(X509_get0_notAfter(cert.get())) > 0;
  ERR_clear_error();
  return signedRight && current;
}

bool Directory(const fs::path& dir, std::string* error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    *error = dir.string() + ": cannot be created" + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  return true;
}

}  // namespace

bool EnsureCa(const fs::path& dir, CertificateFiles* ca, std::string* error) {
  if (!Directory(dir, error)) return false;
  *ca = {dir / "ca.pem", dir / "ca.key"};
  if (Usable(*ca, nullptr)) return true;
  UniqueX509 cert;
  UniqueKey key;
  if (!Make("Halvex simulation test CA", "ca", nullptr, nullptr, &cert, &key)) {
    *error = Errors("the test CA could not be made");
    return false;
  }
  return Save(*ca, cert.get(), key.get(), error);
}

bool EnsureCertificate(const fs::path& dir, const std::string& stem, const std::string& commonName,
                       bool server, const CertificateFiles& ca, CertificateFiles* made, std::string* error) {
  if (!Directory(dir, error)) return false;
  *made = {dir / (stem + ".pem"), dir / (stem + ".key")};
  const UniqueX509 caCert = ReadCertificate(ca.certificate);
  const UniqueKey caKey = ReadKey(ca.key);
  if (!caCert || !caKey) {
    *error = ca.certificate.string() + ": the CA cannot be read";
    return false;
  }
  if (Usable(*made, caKey.get())) return true;
  UniqueX509 cert;
  UniqueKey key;
  if (!Make(commonName, server ? "server" : "client", caCert.get(), caKey.get(), &cert, &key)) {
    *error = Errors("the certificate for " + commonName + " could not be made");
    return false;
  }
  return Save(*made, cert.get(), key.get(), error);
}

}  // namespace hx::radius
