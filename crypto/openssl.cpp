// The primitives over OpenSSL's libcrypto (3.x): PBKDF2 and HMAC through its
// MAC and KDF calls, key wrap through its AES-WRAP ciphers. Randomness comes
// from the kernel's generator, as CNG's comes from the system's: OpenSSL's
// DRBG would keep state per thread, and the toolkit's and the simulated
// adapter's threads come and go.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

#include "crypto/crypto.h"

namespace hx::crypto {
namespace {

struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Fetched once: the algorithm object is shared by every thread.
EVP_MAC* Hmac() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
  return mac;
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
  if (Hmac() == nullptr) return false;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(Hmac()));
  if (!ctx) return false;
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) return false;
  for (ByteView part : parts) {
    if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) return false;
  }
  size_t length = 0;
  return EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) == 1 && length == out.size();
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
