// The primitives over OpenSSL's libcrypto (3.x): PBKDF2 and HMAC through its
// MAC and KDF calls, key wrap through its AES-WRAP ciphers. MD4, single DES
// and RC4 live in OpenSSL 3's legacy provider, which is loaded explicitly into
// a library context of its own, so that the process's default context (and
// whatever else in the process uses it) is left as it was. Randomness comes
// from the kernel's generator, as CNG's comes from the system's: OpenSSL's
// DRBG would keep state per thread, and the toolkit's and the simulated
// adapter's threads come and go.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "crypto/crypto.h"

namespace hx::crypto {
namespace {

struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// Fetched once: the algorithm objects are shared by every thread (and, as
// libcrypto's own, kept until its exit-time cleanup).
EVP_MAC* Hmac() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
  return mac;
}

const EVP_MD* Digest(const char* name) {
  if (std::string_view(name) == "SHA1") {
    static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return sha1;
  }
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md5;
}

// OpenSSL 3 keeps MD4, DES and RC4 in its legacy provider, which is not
// loaded by default: a library context of our own holds it.
struct Legacy {
  OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* provider = context ? OSSL_PROVIDER_load(context, "legacy") : nullptr;
  EVP_MD* md4 = provider ? EVP_MD_fetch(context, "MD4", nullptr) : nullptr;
  EVP_CIPHER* des = provider ? EVP_CIPHER_fetch(context, "DES-ECB", nullptr) : nullptr;
  EVP_CIPHER* rc4 = provider ? EVP_CIPHER_fetch(context, "RC4", nullptr) : nullptr;
};

const Legacy& LegacyAlgorithms() {
  static const Legacy* const legacy = new Legacy;  // for the process's life: threads may use it at exit
  return *legacy;
}

bool DigestOver(const EVP_MD* md, std::initializer_list<ByteView> parts, std::span<uint8_t> out) {
  if (md == nullptr || static_cast<size_t>(EVP_MD_get_size(md)) != out.size()) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  for (ByteView part : parts) {
    if (!part.empty() && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) return false;
  }
  unsigned length = 0;
  return EVP_DigestFinal_ex(ctx.get(), out.data(), &length) == 1 && length == out.size();
}

bool HmacOver(const char* digest, ByteView key, std::initializer_list<ByteView> parts,
              std::span<uint8_t> out) {
  if (Hmac() == nullptr) return false;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(Hmac()));
  if (!ctx) return false;
  std::string name = digest;
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, name.data(), 0),
                               OSSL_PARAM_construct_end()};
  // An empty key is a valid HMAC key; OpenSSL wants a pointer all the same.
  static const uint8_t kNoKey = 0;
  if (EVP_MAC_init(ctx.get(), key.empty() ? &kNoKey : key.data(), key.size(), params) != 1) return false;
  for (ByteView part : parts) {
    if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) return false;
  }
  size_t length = 0;
  return EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) == 1 && length == out.size();
}

// One pass of a cipher without padding over `data`, in place.
bool CipherInPlace(const EVP_CIPHER* cipher, ByteView key, std::span<uint8_t> data, size_t skip = 0) {
  if (cipher == nullptr) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1) return false;
  if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1 ||
      EVP_EncryptInit_ex2(ctx.get(), nullptr, key.data(), nullptr, nullptr) != 1)
    return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int produced = 0;
  // The discarded key stream: zeros run through the cipher.
  uint8_t scratch[256];
  while (skip > 0) {
    const int n = static_cast<int>(std::min(skip, sizeof scratch));
    std::memset(scratch, 0, sizeof scratch);
    if (EVP_EncryptUpdate(ctx.get(), scratch, &produced, scratch, n) != 1) return false;
    skip -= static_cast<size_t>(n);
  }
  WipeSecret(scratch, sizeof scratch);
  if (!data.empty() &&
      EVP_EncryptUpdate(ctx.get(), data.data(), &produced, data.data(), static_cast<int>(data.size())) != 1)
    return false;
  return static_cast<size_t>(produced) == data.size() || data.empty();
}

const EVP_CIPHER* WrapCipher(size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_wrap();
    case 24:
      return EVP_aes_192_wrap();
    case 32:
      return EVP_aes_256_wrap();
    default:
      return nullptr;
  }
}

bool WrapShapeOk(size_t plainLength) {
  return plainLength >= 16 && plainLength % 8 == 0;
}

// One pass of the wrap cipher over `in`; `out` gets the bytes it produced.
template <class Out>
bool RunWrap(bool encrypt, ByteView kek, ByteView in, Out& out) {
  const EVP_CIPHER* cipher = WrapCipher(kek.size());
  if (cipher == nullptr) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, kek.data(), nullptr, encrypt ? 1 : 0) != 1) return false;
  out.assign(in.size() + 16, 0);
  int produced = 0, tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &produced, in.data(), static_cast<int>(in.size())) <= 0 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + produced, &tail) <= 0) {
    out.clear();  // a secret's block is wiped when it is freed
    return false;
  }
  out.resize(static_cast<size_t>(produced + tail));
  return true;
}

}  // namespace

const char* BackendName() {
  return "OpenSSL libcrypto";
}

bool Pbkdf2HmacSha1(ByteView password, ByteView salt, uint32_t iterations, std::span<uint8_t> out) {
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
                           salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations),
                           EVP_sha1(), static_cast<int>(out.size()), out.data()) == 1;
}

bool HmacSha1(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out) {
  return HmacOver("SHA1", key, parts, out);
}

bool HmacMd5(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out) {
  return HmacOver("MD5", key, parts, out);
}

bool Sha1(std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out) {
  return DigestOver(Digest("SHA1"), parts, out);
}

bool Md5(std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out) {
  return DigestOver(Digest("MD5"), parts, out);
}

bool Md4(ByteView data, std::span<uint8_t, kMd4Length> out) {
  return DigestOver(LegacyAlgorithms().md4, {data}, out);
}

bool DesEncrypt(std::span<const uint8_t, kDesBlock> key, std::span<const uint8_t, kDesBlock> in,
                std::span<uint8_t, kDesBlock> out) {
  std::memcpy(out.data(), in.data(), kDesBlock);
  return CipherInPlace(LegacyAlgorithms().des, key, out);
}

bool Rc4(ByteView key, size_t skip, std::span<uint8_t> data) {
  return !key.empty() && CipherInPlace(LegacyAlgorithms().rc4, key, data, skip);
}

bool AesKeyWrap(ByteView kek, ByteView plain, Bytes& wrapped) {
  return WrapShapeOk(plain.size()) && RunWrap(true, kek, plain, wrapped);
}

bool AesKeyUnwrap(ByteView kek, ByteView wrapped, SecretBytes& plain) {
  return wrapped.size() >= 24 && WrapShapeOk(wrapped.size() - 8) && RunWrap(false, kek, wrapped, plain);
}

bool RandomBytes(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace hx::crypto
