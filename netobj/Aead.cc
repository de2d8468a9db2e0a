// AES-128-GCM through OpenSSL's EVP interface: the reference the native implementation is
// checked against, and the one used where the CPU lacks AES instructions.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

#include "netobj/Aead.h"

namespace NetObj {

namespace {

class EvpGcm final : public Aead {
 public:
  explicit EvpGcm(Key key) : seal_(EVP_CIPHER_CTX_new()), open_(EVP_CIPHER_CTX_new()) {
    if (seal_ == nullptr || open_ == nullptr ||
        EVP_EncryptInit_ex(seal_, EVP_aes_128_gcm(), nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptInit_ex(open_, EVP_aes_128_gcm(), nullptr, key.data(), nullptr) != 1) {
      Free();
      throw std::runtime_error("netobj: cannot set up AES-128-GCM");
    }
  }
  ~EvpGcm() override { Free(); }
  EvpGcm(const EvpGcm&) = delete;
  EvpGcm& operator=(const EvpGcm&) = delete;

  void Seal(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in, uint8_t* out,
            std::span<uint8_t, kTagSize> tag) override {
    int n = 0;
    bool ok = EVP_EncryptInit_ex(seal_, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
              EVP_EncryptUpdate(seal_, nullptr, &n, aad.data(), Length(aad)) == 1 &&
              (in.empty() || EVP_EncryptUpdate(seal_, out, &n, in.data(), Length(in)) == 1) &&
              EVP_EncryptFinal_ex(seal_, out + in.size(), &n) == 1 &&
              EVP_CIPHER_CTX_ctrl(seal_, EVP_CTRL_GCM_GET_TAG, kTagSize, tag.data()) == 1;
    // Only a broken library fails here; sending what it produced would leak or corrupt.
    if (!ok) throw std::runtime_error("netobj: AES-128-GCM failed");
  }

  bool Open(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in, uint8_t* out,
            std::span<const uint8_t, kTagSize> tag) override {
    uint8_t expected[kTagSize];
    std::memcpy(expected, tag.data(), kTagSize);
    int n = 0;
    bool ok = EVP_DecryptInit_ex(open_, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
              EVP_DecryptUpdate(open_, nullptr, &n, aad.data(), Length(aad)) == 1 &&
              (in.empty() || EVP_DecryptUpdate(open_, out, &n, in.data(), Length(in)) == 1) &&
              EVP_CIPHER_CTX_ctrl(open_, EVP_CTRL_GCM_SET_TAG, kTagSize, expected) == 1 &&
              EVP_DecryptFinal_ex(open_, out + in.size(), &n) == 1;
    if (!ok) OPENSSL_cleanse(out, in.size());
    return ok;
  }

 private:
  static int Length(std::span<const uint8_t> s) { return static_cast<int>(s.size()); }
  void Free() {
    EVP_CIPHER_CTX_free(seal_);
    EVP_CIPHER_CTX_free(open_);
    seal_ = open_ = nullptr;
  }

  EVP_CIPHER_CTX* seal_;
  EVP_CIPHER_CTX* open_;
};

}  // namespace

std::unique_ptr<Aead> MakeEvpAes128Gcm(Aead::Key key) { return std::make_unique<EvpGcm>(key); }

namespace {

// Short messages go to the native implementation, which spares EVP's set-up; long ones to
// EVP, whose wider pipelines win past a few hundred bytes. Both give the same bytes.
class ShortAndLong final : public Aead {
 public:
  ShortAndLong(std::unique_ptr<Aead> short_ones, std::unique_ptr<Aead> long_ones)
      : short_(std::move(short_ones)), long_(std::move(long_ones)) {}

  void Seal(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in, uint8_t* out,
            std::span<uint8_t, kTagSize> tag) override {
    Pick(in).Seal(nonce, aad, in, out, tag);
  }
  bool Open(Nonce nonce, std::span<const uint8_t> aad, std::span<const uint8_t> in, uint8_t* out,
            std::span<const uint8_t, kTagSize> tag) override {
    return Pick(in).Open(nonce, aad, in, out, tag);
  }

 private:
  // Where the two cross on the machines measured (bench/AeadBench.cc).
  static constexpr std::size_t kShortMost = 256;
  Aead& Pick(std::span<const uint8_t> in) { return in.size() <= kShortMost ? *short_ : *long_; }

  std::unique_ptr<Aead> short_;
  std::unique_ptr<Aead> long_;
};

}  // namespace

std::unique_ptr<Aead> MakeAes128Gcm(Aead::Key key) {
  std::unique_ptr<Aead> native = MakeNativeAes128Gcm(key);
  if (!native) return MakeEvpAes128Gcm(key);
  return std::make_unique<ShortAndLong>(std::move(native), MakeEvpAes128Gcm(key));
}

}  // namespace NetObj
