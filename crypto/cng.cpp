// The primitives over the Windows CNG API (bcrypt.dll). PBKDF2, HMAC and
// randomness are CNG's own. Key wrap is RFC 3394's construction over CNG's
// AES in ECB mode: CNG's AES key-wrap blob only unwraps AES keys (16, 24 or
// 32 bytes), not key data of any length, and Wine's bcrypt lacks it. Single
// DES, where CNG has none, is 3DES with three equal keys (the same cipher);
// RC4 and MD4 are CNG's where the system offers them, and refused where not.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto/crypto.h"

namespace hx::crypto {
namespace {

bool Ok(NTSTATUS status) {
  return status >= 0;
}

// An algorithm provider opened once and shared by every thread (CNG allows
// it); closed when the module unloads.
class Provider {
 public:
  Provider(const wchar_t* algorithm, ULONG flags, const wchar_t* chaining = nullptr) {
    if (!Ok(BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, flags))) {
      handle_ = nullptr;
      return;
    }
    if (chaining != nullptr &&
        !Ok(BCryptSetProperty(handle_, BCRYPT_CHAINING_MODE,
                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chaining)),
                              static_cast<ULONG>((wcslen(chaining) + 1) * sizeof(wchar_t)), 0))) {
      BCryptCloseAlgorithmProvider(handle_, 0);
      handle_ = nullptr;
    }
  }
  ~Provider() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

BCRYPT_ALG_HANDLE HmacSha1Provider() {
  static Provider provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return provider.get();
}

BCRYPT_ALG_HANDLE HmacMd5Provider() {
  static Provider provider(BCRYPT_MD5_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return provider.get();
}

BCRYPT_ALG_HANDLE Sha1Provider() {
  static Provider provider(BCRYPT_SHA1_ALGORITHM, 0);
  return provider.get();
}

BCRYPT_ALG_HANDLE Md5Provider() {
  static Provider provider(BCRYPT_MD5_ALGORITHM, 0);
  return provider.get();
}

BCRYPT_ALG_HANDLE Md4Provider() {
  static Provider provider(BCRYPT_MD4_ALGORITHM, 0);
  return provider.get();
}

// ECB, or nothing: Wine's CNG, which takes no ECB for 3DES, faults on a
// 3DES encryption in its default mode.
BCRYPT_ALG_HANDLE DesProvider() {
  static Provider provider(BCRYPT_DES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_ECB);
  return provider.get();
}

BCRYPT_ALG_HANDLE TripleDesProvider() {
  static Provider provider(BCRYPT_3DES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_ECB);
  return provider.get();
}

BCRYPT_ALG_HANDLE Rc4Provider() {
  static Provider provider(BCRYPT_RC4_ALGORITHM, 0);
  return provider.get();
}

BCRYPT_ALG_HANDLE AesEcbProvider() {
  static Provider provider(BCRYPT_AES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_ECB);
  return provider.get();
}

struct HashDestroy {
  void operator()(void* h) const { BCryptDestroyHash(h); }
};
struct KeyDestroy {
  void operator()(void* k) const { BCryptDestroyKey(k); }
};
using UniqueHash = std::unique_ptr<void, HashDestroy>;
using UniqueKey = std::unique_ptr<void, KeyDestroy>;

PUCHAR Mutable(const uint8_t* p) {
  return const_cast<PUCHAR>(p);  // CNG's inputs are not written
}

UniqueKey AesKey(ByteView key) {
  if (AesEcbProvider() == nullptr || (key.size() != 16 && key.size() != 24 && key.size() != 32)) return {};
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(AesEcbProvider(), &handle, nullptr, 0, Mutable(key.data()),
                                     static_cast<ULONG>(key.size()), 0)))
    return {};
  return UniqueKey(handle);
}

// One AES block through `key`, encrypting or decrypting, in place.
bool AesBlock(BCRYPT_KEY_HANDLE key, bool encrypt, uint8_t* block) {
  ULONG done = 0;
  const NTSTATUS status =
      encrypt ? BCryptEncrypt(key, block, kAesBlock, nullptr, nullptr, 0, block, kAesBlock, &done, 0)
              : BCryptDecrypt(key, block, kAesBlock, nullptr, nullptr, 0, block, kAesBlock, &done, 0);
  return Ok(status) && done == kAesBlock;
}

constexpr std::array<uint8_t, 8> kWrapIv = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};

// XORs the step counter t, big-endian, into the 64-bit register A.
void MixCounter(uint8_t* a, uint64_t t) {
  for (int i = 7; i >= 0; --i, t >>= 8) a[i] ^= static_cast<uint8_t>(t);
}

bool WrapShapeOk(size_t plainLength) {
  return plainLength >= 16 && plainLength % 8 == 0;
}

// A hash or an HMAC (`provider` says which) over the parts.
bool HashOver(BCRYPT_ALG_HANDLE provider, ByteView key, std::initializer_list<ByteView> parts,
              std::span<uint8_t> out) {
  if (provider == nullptr) return false;
  BCRYPT_HASH_HANDLE handle = nullptr;
  if (!Ok(BCryptCreateHash(provider, &handle, nullptr, 0, Mutable(key.data()), static_cast<ULONG>(key.size()),
                           0)))
    return false;
  const UniqueHash hash(handle);
  for (ByteView part : parts) {
    if (!part.empty() &&
        !Ok(BCryptHashData(handle, Mutable(part.data()), static_cast<ULONG>(part.size()), 0)))
      return false;
  }
  return Ok(BCryptFinishHash(handle, out.data(), static_cast<ULONG>(out.size()), 0));
}

UniqueKey SymmetricKey(BCRYPT_ALG_HANDLE provider, ByteView key) {
  if (provider == nullptr) return {};
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(provider, &handle, nullptr, 0, Mutable(key.data()),
                                     static_cast<ULONG>(key.size()), 0)))
    return {};
  return UniqueKey(handle);
}

}  // namespace

const char* BackendName() {
  return "Windows CNG";
}

bool Pbkdf2HmacSha1(ByteView password, ByteView salt, uint32_t iterations, std::span<uint8_t> out) {
  if (HmacSha1Provider() == nullptr) return false;
  return Ok(BCryptDeriveKeyPBKDF2(
      HmacSha1Provider(), Mutable(password.data()), static_cast<ULONG>(password.size()), Mutable(salt.data()),
      static_cast<ULONG>(salt.size()), iterations, out.data(), static_cast<ULONG>(out.size()), 0));
}

bool HmacSha1(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out) {
  return HashOver(HmacSha1Provider(), key, parts, out);
}

bool HmacMd5(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out) {
  return HashOver(HmacMd5Provider(), key, parts, out);
}

bool Sha1(std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out) {
  return HashOver(Sha1Provider(), {}, parts, out);
}

bool Md5(std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out) {
  return HashOver(Md5Provider(), {}, parts, out);
}

bool Md4(ByteView data, std::span<uint8_t, kMd4Length> out) {
  return HashOver(Md4Provider(), {}, {data}, out);
}

bool DesEncrypt(std::span<const uint8_t, kDesBlock> key, std::span<const uint8_t, kDesBlock> in,
                std::span<uint8_t, kDesBlock> out) {
  UniqueKey des = SymmetricKey(DesProvider(), key);
  if (!des) {
    uint8_t triple[3 * kDesBlock];
    WipeOnExit wipe(triple, sizeof triple);
    for (size_t i = 0; i < 3; ++i) std::memcpy(triple + i * kDesBlock, key.data(), kDesBlock);
    des = SymmetricKey(TripleDesProvider(), ByteView(triple, sizeof triple));
  }
  if (!des) return false;
  uint8_t block[kDesBlock];
  std::memcpy(block, in.data(), kDesBlock);
  ULONG done = 0;
  const bool ok =
      Ok(BCryptEncrypt(des.get(), block, kDesBlock, nullptr, nullptr, 0, out.data(), kDesBlock, &done, 0)) &&
      done == kDesBlock;
  WipeSecret(block, sizeof block);
  return ok;
}

bool Rc4(ByteView key, size_t skip, std::span<uint8_t> data) {
  if (key.empty()) return false;
  const UniqueKey rc4 = SymmetricKey(Rc4Provider(), key);
  if (!rc4) return false;
  uint8_t scratch[256];
  WipeOnExit wipe(scratch, sizeof scratch);
  ULONG done = 0;
  // The stream cipher keeps its position from call to call on one key.
  while (skip > 0) {
    const ULONG n = static_cast<ULONG>(std::min(skip, sizeof scratch));
    std::memset(scratch, 0, sizeof scratch);
    if (!Ok(BCryptEncrypt(rc4.get(), scratch, n, nullptr, nullptr, 0, scratch, n, &done, 0))) return false;
    skip -= n;
  }
  return data.empty() ||
         Ok(BCryptEncrypt(rc4.get(), data.data(), static_cast<ULONG>(data.size()), nullptr, nullptr, 0,
                          data.data(), static_cast<ULONG>(data.size()), &done, 0));
}

bool AesKeyWrap(ByteView kek, ByteView plain, Bytes& wrapped) {
  if (!WrapShapeOk(plain.size())) return false;
  const UniqueKey key = AesKey(kek);
  if (!key) return false;
  const size_t n = plain.size() / 8;
  wrapped.assign(8, 0);
  wrapped.insert(wrapped.end(), plain.begin(), plain.end());
  std::memcpy(wrapped.data(), kWrapIv.data(), 8);
  uint8_t block[kAesBlock];
  WipeOnExit wipe(block, sizeof block);
  for (uint64_t j = 0; j < 6; ++j) {
    for (size_t i = 1; i <= n; ++i) {
      std::memcpy(block, wrapped.data(), 8);
      std::memcpy(block + 8, wrapped.data() + 8 * i, 8);
      if (!AesBlock(key.get(), true, block)) return false;
      MixCounter(block, n * j + i);
      std::memcpy(wrapped.data(), block, 8);
      std::memcpy(wrapped.data() + 8 * i, block + 8, 8);
    }
  }
  return true;
}

bool AesKeyUnwrap(ByteView kek, ByteView wrapped, SecretBytes& plain) {
  plain.clear();
  if (wrapped.size() < 24 || !WrapShapeOk(wrapped.size() - 8)) return false;
  const UniqueKey key = AesKey(kek);
  if (!key) return false;
  const size_t n = wrapped.size() / 8 - 1;
  SecretBytes r(wrapped.begin(), wrapped.end());  // A, then R[1..n]
  uint8_t block[kAesBlock];
  WipeOnExit wipe(block, sizeof block);
  for (uint64_t j = 6; j-- > 0;) {
    for (size_t i = n; i >= 1; --i) {
      std::memcpy(block, r.data(), 8);
      MixCounter(block, n * j + i);
      std::memcpy(block + 8, r.data() + 8 * i, 8);
      if (!AesBlock(key.get(), false, block)) return false;
      std::memcpy(r.data(), block, 8);
      std::memcpy(r.data() + 8 * i, block + 8, 8);
    }
  }
  if (std::memcmp(r.data(), kWrapIv.data(), 8) != 0) return false;
  plain.assign(r.begin() + 8, r.end());
  return true;
}

bool RandomBytes(std::span<uint8_t> out) {
  return Ok(
      BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace hx::crypto
