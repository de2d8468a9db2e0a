// AES-128-GCM over the CPU's AES-NI and PCLMULQDQ instructions. A call's messages are a few
// dozen bytes, where OpenSSL's EVP spends more on setting up each message than on the cipher:
// here the key schedule and the hash key's powers are made once, and a message is its counter
// blocks, four at a time, hashed four at a time against H^4..H^1 with one reduction.
//
// GHASH works on byte-reversed blocks so that the multiply below (a 256-bit carry-less product,
// shifted left one bit for GCM's reflected bit order, then reduced modulo x^128+x^7+x^2+x+1) sees
// them as ordinary little-endian integers. Checked bit for bit against EVP by the unit tests.
#include "netobj/Aead.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>
#include <openssl/crypto.h>

#include <cstring>

#define NETOBJ_GCM_TARGET __attribute__((target("aes,pclmul,ssse3,sse4.1")))

namespace NetObj {

namespace {

NETOBJ_GCM_TARGET inline __m128i ByteSwap(__m128i x) {
  return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

NETOBJ_GCM_TARGET inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

NETOBJ_GCM_TARGET inline void Store(uint8_t* p, __m128i x) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), x);
}

// A partial block, zero-padded.
NETOBJ_GCM_TARGET inline __m128i LoadPartial(const uint8_t* p, std::size_t n) {
  alignas(16) uint8_t block[16] = {};
  std::memcpy(block, p, n);
  return Load(block);
}

NETOBJ_GCM_TARGET inline void StorePartial(uint8_t* p, __m128i x, std::size_t n) {
  alignas(16) uint8_t block[16];
  Store(block, x);
  std::memcpy(p, block, n);
}

// Adds the 256-bit carry-less product a*b into hi:lo. The shift and the reduction that follow
// are linear, so products summed first need only one of each: four blocks hash for the price of
// one reduction.
NETOBJ_GCM_TARGET inline void MultiplyAdd(__m128i a, __m128i b, __m128i* lo, __m128i* hi) {
  __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
  *lo = _mm_xor_si128(*lo, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x00), _mm_slli_si128(mid, 8)));
  *hi = _mm_xor_si128(*hi, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x11), _mm_srli_si128(mid, 8)));
}

NETOBJ_GCM_TARGET __m128i Reduce(__m128i lo, __m128i hi) {
  // The 256-bit product hi:lo, shifted left by one bit.
  __m128i lo_carry = _mm_srli_epi32(lo, 31);
  __m128i hi_carry = _mm_srli_epi32(hi, 31);
  lo = _mm_slli_epi32(lo, 1);
  hi = _mm_slli_epi32(hi, 1);
  __m128i across = _mm_srli_si128(lo_carry, 12);
  hi_carry = _mm_slli_si128(hi_carry, 4);
  lo_carry = _mm_slli_si128(lo_carry, 4);
  lo = _mm_or_si128(lo, lo_carry);
  hi = _mm_or_si128(_mm_or_si128(hi, hi_carry), across);
  // Reduction, first phase.
  __m128i t = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)),
                            _mm_slli_epi32(lo, 25));
  __m128i t_high = _mm_srli_si128(t, 4);
  lo = _mm_xor_si128(lo, _mm_slli_si128(t, 12));
  // Second phase.
  __m128i u = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)),
                            _mm_srli_epi32(lo, 7));
  u = _mm_xor_si128(u, t_high);
  lo = _mm_xor_si128(lo, u);
  return _mm_xor_si128(hi, lo);
}

NETOBJ_GCM_TARGET __m128i GfMultiply(__m128i a, __m128i b) {
  __m128i lo = _mm_setzero_si128();
  __m128i hi = _mm_setzero_si128();
  MultiplyAdd(a, b, &lo, &hi);
  return Reduce(lo, hi);
}

// The counter block `i` of a message: the nonce, then i as a big-endian 32-bit number.
NETOBJ_GCM_TARGET inline __m128i Counter(__m128i j0, uint32_t i) {
  return _mm_insert_epi32(j0, static_cast<int>(__builtin_bswap32(i)), 3);
}

template <int kRcon>
NETOBJ_GCM_TARGET __m128i ExpandStep(__m128i key) {
  __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(key, kRcon), 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

class NativeGcm final : public Aead {
 public:
  NETOBJ_GCM_TARGET explicit NativeGcm(Key key) {
    rk_[0] = Load(key.data());
    rk_[1] = ExpandStep<0x01>(rk_[0]);
    rk_[2] = ExpandStep<0x02>(rk_[1]);
    rk_[3] = ExpandStep<0x04>(rk_[2]);
    rk_[4] = ExpandStep<0x08>(rk_[3]);
    rk_[5] = ExpandStep<0x10>(rk_[4]);
    rk_[6] = ExpandStep<0x20>(rk_[5]);
    rk_[7] = ExpandStep<0x40>(rk_[6]);
    rk_[8] = ExpandStep<0x80>(rk_[7]);
    rk_[9] = ExpandStep<0x1b>(rk_[8]);
    rk_[10] = ExpandStep<0x36>(rk_[9]);
    // The hash key and its powers: h_[i] is H^(i+1).
    h_[0] = ByteSwap(Encrypt(_mm_setzero_si128()));
    for (int i = 1; i < 4; ++i) h_[i] = GfMultiply(h_[i - 1], h_[0]);
  }
  ~NativeGcm() override {
    OPENSSL_cleanse(rk_, sizeof(rk_));
    OPENSSL_cleanse(h_, sizeof(h_));
  }
  NativeGcm(const NativeGcm&) = delete;
  NativeGcm& operator=(const NativeGcm&) = delete;

  NETOBJ_GCM_TARGET void Seal(Nonce nonce, std::span<const uint8_t> aad,
                              std::span<const uint8_t> in, uint8_t* out,
                              std::span<uint8_t, kTagSize> tag) override {
    Store(tag.data(), Crypt(nonce, aad, in, out, true));
  }

  NETOBJ_GCM_TARGET bool Open(Nonce nonce, std::span<const uint8_t> aad,
                              std::span<const uint8_t> in, uint8_t* out,
                              std::span<const uint8_t, kTagSize> tag) override {
    alignas(16) uint8_t expected[kTagSize];
    Store(expected, Crypt(nonce, aad, in, out, false));
    if (CRYPTO_memcmp(expected, tag.data(), kTagSize) == 0) return true;
    OPENSSL_cleanse(out, in.size());
    return false;
  }

 private:
  NETOBJ_GCM_TARGET __m128i Encrypt(__m128i x) const {
    x = _mm_xor_si128(x, rk_[0]);
    for (int r = 1; r < 10; ++r) x = _mm_aesenc_si128(x, rk_[r]);
    return _mm_aesenclast_si128(x, rk_[10]);
  }

  NETOBJ_GCM_TARGET void Encrypt4(__m128i* x) const {
    for (int i = 0; i < 4; ++i) x[i] = _mm_xor_si128(x[i], rk_[0]);
    for (int r = 1; r < 10; ++r)
      for (int i = 0; i < 4; ++i) x[i] = _mm_aesenc_si128(x[i], rk_[r]);
    for (int i = 0; i < 4; ++i) x[i] = _mm_aesenclast_si128(x[i], rk_[10]);
  }

  NETOBJ_GCM_TARGET void Absorb(__m128i* x, __m128i block) const {
    *x = GfMultiply(_mm_xor_si128(*x, ByteSwap(block)), h_[0]);
  }

  // Four blocks at once: ((x + c0) H + c1) H + c2) H + c3) H, as (x + c0) H^4 + c1 H^3 + ...
  NETOBJ_GCM_TARGET void Absorb4(__m128i* x, const __m128i* blocks) const {
    __m128i lo = _mm_setzero_si128();
    __m128i hi = _mm_setzero_si128();
    MultiplyAdd(_mm_xor_si128(*x, ByteSwap(blocks[0])), h_[3], &lo, &hi);
    for (int k = 1; k < 4; ++k) MultiplyAdd(ByteSwap(blocks[k]), h_[3 - k], &lo, &hi);
    *x = Reduce(lo, hi);
  }

  // Counter mode over `in` into `out`, hashing the ciphertext (what comes out when sealing, what
  // goes in when opening); returns the tag.
  NETOBJ_GCM_TARGET __m128i Crypt(Nonce nonce, std::span<const uint8_t> aad,
                                  std::span<const uint8_t> in, uint8_t* out, bool sealing) const {
    alignas(16) uint8_t j0[16] = {};
    std::memcpy(j0, nonce.data(), kNonceSize);
    __m128i base = Load(j0);
    __m128i x = _mm_setzero_si128();
    std::size_t a = 0;
    for (; a + 16 <= aad.size(); a += 16) Absorb(&x, Load(aad.data() + a));
    if (a < aad.size()) Absorb(&x, LoadPartial(aad.data() + a, aad.size() - a));

    const uint8_t* src = in.data();
    std::size_t n = in.size();
    std::size_t i = 0;
    uint32_t next = 2;
    for (; i + 64 <= n; i += 64, next += 4) {
      __m128i ks[4] = {Counter(base, next), Counter(base, next + 1), Counter(base, next + 2),
                       Counter(base, next + 3)};
      Encrypt4(ks);
      __m128i c[4];
      for (int k = 0; k < 4; ++k) {
        __m128i p = Load(src + i + 16 * k);
        c[k] = _mm_xor_si128(p, ks[k]);
        if (!sealing) ks[k] = p;  // the ciphertext, for the hash
      }
      for (int k = 0; k < 4; ++k) Store(out + i + 16 * k, c[k]);
      Absorb4(&x, sealing ? c : ks);
    }
    for (; i + 16 <= n; i += 16, ++next) {
      __m128i p = Load(src + i);
      __m128i c = _mm_xor_si128(p, Encrypt(Counter(base, next)));
      Store(out + i, c);
      Absorb(&x, sealing ? c : p);
    }
    if (i < n) {
      std::size_t r = n - i;
      __m128i p = LoadPartial(src + i, r);
      __m128i c = _mm_xor_si128(p, Encrypt(Counter(base, next)));
      StorePartial(out + i, c, r);
      // The hash takes the ciphertext zero-padded: what lies past it is keystream.
      Absorb(&x, sealing ? LoadPartial(out + i, r) : p);
    }
    __m128i lengths =
        _mm_set_epi64x(static_cast<long long>(aad.size() * 8), static_cast<long long>(n * 8));
    x = GfMultiply(_mm_xor_si128(x, lengths), h_[0]);
    return _mm_xor_si128(ByteSwap(x), Encrypt(Counter(base, 1)));
  }

  __m128i rk_[11];
  __m128i h_[4];
};

bool CpuHasGcmInstructions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  return (c & bit_AES) != 0 && (c & bit_PCLMUL) != 0 && (c & bit_SSSE3) != 0 &&
         (c & bit_SSE4_1) != 0;
}

}  // namespace

std::unique_ptr<Aead> MakeNativeAes128Gcm(Aead::Key key) {
  static const bool supported = CpuHasGcmInstructions();
  if (!supported) return nullptr;
  return std::make_unique<NativeGcm>(key);
}

}  // namespace NetObj

#else  // no AES instructions we know of: EVP serves

namespace NetObj {
std::unique_ptr<Aead> MakeNativeAes128Gcm(Aead::Key) { return nullptr; }
}  // namespace NetObj

#endif
