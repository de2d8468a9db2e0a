// The keyed connections' record layer: both AES-128-GCM implementations against published
// vectors and against each other, bit for bit; records that were altered, dropped, replayed or
// truncated end the stream before any of their bytes come out; and frames of every size come
// back whole however the socket cuts the bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "netobj/Aead.h"
#include "netobj/SealedRecords.h"
#include "netobj/wire/Values.h"

namespace {

using namespace NetObj;
using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

using Maker = std::unique_ptr<Aead> (*)(Aead::Key);

std::unique_ptr<Aead> Make(Maker make, const Bytes& key) {
  return make(Aead::Key(key.data(), Aead::kKeySize));
}

struct Sealed {
  Bytes text;
  Bytes tag = Bytes(Aead::kTagSize);
};

Sealed SealWith(Aead& a, const Bytes& nonce, const Bytes& aad, const Bytes& plain) {
  Sealed s{Bytes(plain.size())};
  a.Seal(Aead::Nonce(nonce.data(), Aead::kNonceSize), aad, plain, s.text.data(),
         std::span<uint8_t, Aead::kTagSize>(s.tag.data(), Aead::kTagSize));
  return s;
}

bool OpenWith(Aead& a, const Bytes& nonce, const Bytes& aad, const Sealed& s, Bytes* plain) {
  plain->resize(s.text.size());
  return a.Open(Aead::Nonce(nonce.data(), Aead::kNonceSize), aad, s.text, plain->data(),
                std::span<const uint8_t, Aead::kTagSize>(s.tag.data(), Aead::kTagSize));
}

class Implementations : public ::testing::TestWithParam<Maker> {
 protected:
  void SetUp() override {
    Bytes key(16);
    if (Make(GetParam(), key) == nullptr) GTEST_SKIP() << "this CPU lacks AES-NI or PCLMULQDQ";
  }
};

// The published AES-128-GCM test vectors, cases 1 to 4: empty, one zero block, four blocks, and
// a partial last block with additional data.
TEST_P(Implementations, PublishedVectorsComeOutExactly) {
  const std::string p3 =
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
      "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
  const std::string c3 =
      "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
      "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985";
  struct Case {
    std::string key, nonce, aad, plain, cipher, tag;
  } cases[] = {
      {std::string(32, '0'), std::string(24, '0'), "", "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
      {std::string(32, '0'), std::string(24, '0'), "", std::string(32, '0'),
       "0388dace60b6a392f328c2b971b2fe78", "ab6e47d42cec13bdf53a67b21257bddf"},
      {"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888", "", p3, c3,
       "4d5c2af327cd64a62cf35abd2ba6fab4"},
      {"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
       "feedfacedeadbeeffeedfacedeadbeefabaddad2", p3.substr(0, 120), c3.substr(0, 120),
       "5bc94fbc3221a5db94fae95ae7121a47"},
  };
  for (const Case& c : cases) {
    auto a = Make(GetParam(), Hex(c.key));
    Sealed s = SealWith(*a, Hex(c.nonce), Hex(c.aad), Hex(c.plain));
    EXPECT_EQ(s.text, Hex(c.cipher)) << c.tag;
    EXPECT_EQ(s.tag, Hex(c.tag));
    Bytes back;
    EXPECT_TRUE(OpenWith(*a, Hex(c.nonce), Hex(c.aad), s, &back));
    EXPECT_EQ(back, Hex(c.plain));
  }
}

TEST_P(Implementations, AgreeWithEvpOnRandomMessagesAndRefuseAnyChangedBit) {
  std::mt19937 rng(7);
  auto bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  for (int i = 0; i < 600; ++i) {
    Bytes key = bytes(16), nonce = bytes(12);
    Bytes aad = bytes(rng() % 40);
    // Every length up to a few blocks past the four-block stride, then a spread of larger ones.
    Bytes plain = bytes(i < 300 ? static_cast<std::size_t>(i) : rng() % 5000);
    auto ours = Make(GetParam(), key);
    auto evp = Make(MakeEvpAes128Gcm, key);
    Sealed s = SealWith(*ours, nonce, aad, plain);
    Sealed reference = SealWith(*evp, nonce, aad, plain);
    ASSERT_EQ(s.text, reference.text) << "length " << plain.size();
    ASSERT_EQ(s.tag, reference.tag) << "length " << plain.size();

    // In place, as the record layer opens.
    Bytes in_place = s.text;
    ASSERT_TRUE(ours->Open(Aead::Nonce(nonce.data(), 12), aad, in_place, in_place.data(),
                           std::span<const uint8_t, 16>(s.tag.data(), 16)));
    ASSERT_EQ(in_place, plain);

    Sealed bad = s;
    Bytes bad_aad = aad;
    std::size_t where = rng() % (s.text.size() + aad.size() + 16);
    uint8_t bit = static_cast<uint8_t>(1u << (rng() % 8));
    if (where < s.text.size())
      bad.text[where] ^= bit;
    else if (where < s.text.size() + aad.size())
      bad_aad[where - s.text.size()] ^= bit;
    else
      bad.tag[where - s.text.size() - aad.size()] ^= bit;
    Bytes out;
    ASSERT_FALSE(OpenWith(*ours, nonce, bad_aad, bad, &out)) << "length " << plain.size();
    ASSERT_EQ(out, Bytes(out.size(), 0)) << "a refused message's plaintext was left behind";
  }
}

std::string ImplementationName(const ::testing::TestParamInfo<Maker>& info) {
  static const char* const kNames[] = {"Evp", "Native", "Chosen"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Aes128Gcm, Implementations,
                         ::testing::Values(&MakeEvpAes128Gcm, &MakeNativeAes128Gcm, &MakeAes128Gcm),
                         ImplementationName);

RecordKeys KeysOf(uint8_t fill) {
  RecordKeys k;
  k.key.fill(fill);
  k.iv.fill(static_cast<uint8_t>(fill + 1));
  return k;
}

// Feeds `wire` to an opener in pieces of `step` bytes and takes every plaintext byte out.
Bytes OpenAll(const Bytes& wire, std::size_t step, const RecordKeys& keys = KeysOf(3)) {
  RecordOpener opener(keys, "peer");
  Bytes plain;
  std::size_t at = 0;
  uint8_t chunk[1000];
  for (;;) {
    std::size_t got = opener.Take(chunk, sizeof(chunk));
    plain.insert(plain.end(), chunk, chunk + got);
    if (got > 0) continue;
    if (at == wire.size()) break;
    std::span<uint8_t> space = opener.Space();
    std::size_t n = std::min({step, space.size(), wire.size() - at});
    std::memcpy(space.data(), wire.data() + at, n);
    opener.Received(n);
    at += n;
  }
  EXPECT_FALSE(opener.holds_bytes());
  return plain;
}

TEST(SealedRecords, FramesOfEverySizeComeBackWholeHoweverTheBytesAreCut) {
  std::vector<Bytes> frames;
  for (std::size_t n : {1, 15, 16, 17, 100, 16383, 16384, 16385, 70000}) {
    Bytes f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(i * 7 + n);
    frames.push_back(f);
  }
  RecordSealer sealer(KeysOf(3));
  Bytes wire, expected;
  for (const Bytes& f : frames) {
    sealer.Seal(f, &wire, "peer");
    expected.insert(expected.end(), f.begin(), f.end());
  }
  for (std::size_t step : {1, 5, 21, 4096, 1 << 20}) EXPECT_EQ(OpenAll(wire, step), expected);

  // A record short of its last byte gives nothing out, and says it holds bytes (the channel's
  // "record truncated" at the peer's end).
  RecordOpener opener(KeysOf(3), "peer");
  Bytes first(wire.begin(), wire.begin() + 4 + 1 + 16 - 1);
  std::memcpy(opener.Space().data(), first.data(), first.size());
  opener.Received(first.size());
  uint8_t out[8];
  EXPECT_EQ(opener.Take(out, sizeof(out)), 0u);
  EXPECT_TRUE(opener.holds_bytes());
}

TEST(SealedRecords, AnAlteredDroppedReplayedOrForeignRecordEndsTheStream) {
  RecordSealer sealer(KeysOf(3));
  Bytes a, b;
  sealer.Seal(Bytes(40, 'a'), &a, "peer");
  sealer.Seal(Bytes(40, 'b'), &b, "peer");
  auto flipped = [&](std::size_t at, uint8_t bits) {
    Bytes w = a;
    w[at] ^= bits;
    return w;
  };
  Bytes foreign;
  RecordSealer(KeysOf(9)).Seal(Bytes(40, 'a'), &foreign, "peer");
  Bytes oversized = {0x00, 0x00, 0x40, 0x01};
  oversized.resize(kMaxRecordSize + 1);
  struct Case {
    const char* what;
    Bytes wire;
    const char* reason;
  } cases[] = {
      {"length shortened", flipped(3, 0x08), "record failed authentication"},
      {"ciphertext changed", flipped(10, 0x01), "record failed authentication"},
      {"tag changed", flipped(a.size() - 1, 0x80), "record failed authentication"},
      {"first record dropped", b, "record failed authentication"},
      {"record replayed",
       [&] {
         Bytes w = a;
         w.insert(w.end(), a.begin(), a.end());
         return w;
       }(),
       "record failed authentication"},
      {"another key", foreign, "record failed authentication"},
      {"empty record", Bytes(20, 0), "bad record length 0"},
      {"record too long", oversized, "bad record length 16385"},
  };
  for (const Case& c : cases) {
    try {
      OpenAll(c.wire, 7);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const Rd::Failure& e) {
      ASSERT_EQ(e.atoms().size(), 3u) << c.what;
      EXPECT_EQ(e.atoms()[2], c.reason) << c.what;
    }
  }
}

TEST(SealedRecords, EachEndSendsWithTheKeysItsPeerReceivesWith) {
  std::array<uint8_t, kExportedKeyBytes> exported;
  for (std::size_t i = 0; i < exported.size(); ++i) exported[i] = static_cast<uint8_t>(i);
  ConnectionKeys calling = SplitExportedKeys(exported, true);
  ConnectionKeys serving = SplitExportedKeys(exported, false);
  EXPECT_EQ(calling.sending.key, serving.receiving.key);
  EXPECT_EQ(calling.sending.iv, serving.receiving.iv);
  EXPECT_EQ(serving.sending.key, calling.receiving.key);
  EXPECT_EQ(serving.sending.iv, calling.receiving.iv);
  EXPECT_NE(calling.sending.key, calling.receiving.key);
  EXPECT_NE(calling.sending.iv, calling.receiving.iv);

  // A record reflected back to the end that sealed it does not open there.
  Bytes wire;
  RecordSealer(calling.sending).Seal(Bytes(10, 'x'), &wire, "peer");
  EXPECT_EQ(OpenAll(wire, 100, serving.receiving), Bytes(10, 'x'));
  EXPECT_THROW(OpenAll(wire, 100, calling.receiving), Rd::Failure);
}

}  // namespace
