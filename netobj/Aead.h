// AES-128-GCM as the record layer uses it: one key, a fresh 12-byte nonce per message, a 16-byte
// tag over the additional data and the ciphertext. Two implementations give bit-identical
// results: OpenSSL's EVP interface, which runs anywhere, and our own over the CPU's AES and
// carry-less multiply instructions, which spares EVP's per-message set-up on the short messages
// a remote call sends. MakeAes128Gcm picks the fastest this CPU can run for each message: ours
// for short ones, EVP for long ones.
//
// Implemented in Aead.cc (EVP, and the choice) and AeadNative.cc. Ownership: an Aead owns its key
// schedule and wipes it when destroyed. Not thread-safe: one thread at a time (each direction of a
// connection has its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace NetObj {

class Aead {
 public:
  static constexpr std::size_t kKeySize = 16;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;
  using Key = std::span<const uint8_t, kKeySize>;
  using Nonce = std::span<const uint8_t, kNonceSize>;

  virtual ~Aead() = default;
  // Encrypts `in` into `out` (in.size() bytes; `out` may be in.data()) and writes the tag.
  virtual void Seal(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in,
                    uint8_t* out, std::span<uint8_t, kTagSize> tag) = 0;
  // Decrypts `in` into `out` (which may be in.data()) when `tag` authenticates it; false, and
  // `out` wiped, when it does not.
  virtual bool Open(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in,
                    uint8_t* out, std::span<const uint8_t, kTagSize> tag) = 0;
};

std::unique_ptr<Aead> MakeEvpAes128Gcm(Aead::Key key);
// Nothing when this CPU lacks the instructions it needs.
std::unique_ptr<Aead> MakeNativeAes128Gcm(Aead::Key key);
std::unique_ptr<Aead> MakeAes128Gcm(Aead::Key key);

}  // namespace NetObj
