// The cryptographic primitives the supplicant engine and the simulated access
// point use, from a maintained library: OpenSSL's libcrypto natively, the
// Windows CNG API (bcrypt.dll) in the Windows build. Every call returns false
// when the library refuses; outputs are then unspecified (and wiped where
// they are secrets).
#pragma once

#include <string_view>

#include "crypto/secret.h"

namespace hx::crypto {

inline constexpr size_t kSha1Length = 20;
inline constexpr size_t kMd5Length = 16;
inline constexpr size_t kMd4Length = 16;
inline constexpr size_t kAesBlock = 16;
inline constexpr size_t kDesBlock = 8;

// The library behind these calls, for traces and reports.
const char* BackendName();

// PBKDF2 with HMAC-SHA1 (RFC 8018): out.size() bytes.
bool Pbkdf2HmacSha1(ByteView password, ByteView salt, uint32_t iterations, std::span<uint8_t> out);

// HMAC-SHA1 over the concatenation of `parts`.
bool HmacSha1(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out);

// Digests over the concatenation of `parts`.
bool Sha1(std::initializer_list<ByteView> parts, std::span<uint8_t, kSha1Length> out);
bool Md5(std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out);
// HMAC-MD5 over the concatenation of `parts`.
bool HmacMd5(ByteView key, std::initializer_list<ByteView> parts, std::span<uint8_t, kMd5Length> out);

// The old algorithms MS-CHAP, LEAP and TKIP still need. Each may be missing
// from the system's library (false, always, then): MD4, single DES on one
// block in ECB mode under an 8-byte key (parity bits ignored), and RC4's
// key stream XORed over `data` in place after its first `skip` bytes were
// thrown away.
bool Md4(ByteView data, std::span<uint8_t, kMd4Length> out);
bool DesEncrypt(std::span<const uint8_t, kDesBlock> key, std::span<const uint8_t, kDesBlock> in,
                std::span<uint8_t, kDesBlock> out);
bool Rc4(ByteView key, size_t skip, std::span<uint8_t> data);

// AES key wrap (RFC 3394) with the default initial value, under a 16, 24 or
// 32-byte key-encryption key. The plain text is a multiple of 8 bytes, at
// least 16; the wrapped text is 8 bytes longer. Unwrap fails when the
// integrity check does not hold.
bool AesKeyWrap(ByteView kek, ByteView plain, Bytes& wrapped);
bool AesKeyUnwrap(ByteView kek, ByteView wrapped, SecretBytes& plain);

// Bytes from the system's cryptographic random source.
bool RandomBytes(std::span<uint8_t> out);

}  // namespace hx::crypto
