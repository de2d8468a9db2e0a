// Sealing frames into records and opening them again.
#include "netobj/SealedRecords.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "netobj/wire/Values.h"

namespace NetObj {

namespace {

// AES-GCM keeps its margins while one key encrypts at most about 2^34 blocks; a connection that
// got this far ends, and its caller connects afresh.
constexpr uint64_t kMostBlocksPerKey = uint64_t{1} << 34;

std::array<uint8_t, Aead::kNonceSize> NonceOf(const std::array<uint8_t, Aead::kNonceSize>& iv,
                                              uint64_t sequence) {
  std::array<uint8_t, Aead::kNonceSize> nonce = iv;
  for (int i = 0; i < 8; ++i)
    nonce[Aead::kNonceSize - 1 - i] ^= static_cast<uint8_t>(sequence >> (8 * i));
  return nonce;
}

void PutLength(uint8_t* p, uint32_t n) {
  p[0] = static_cast<uint8_t>(n >> 24);
  p[1] = static_cast<uint8_t>(n >> 16);
  p[2] = static_cast<uint8_t>(n >> 8);
  p[3] = static_cast<uint8_t>(n);
}

uint32_t GetLength(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

ConnectionKeys SplitExportedKeys(std::span<const uint8_t, kExportedKeyBytes> exported,
                                 bool calling) {
  constexpr std::size_t kKey = Aead::kKeySize;
  constexpr std::size_t kIv = Aead::kNonceSize;
  RecordKeys to_serving;
  RecordKeys to_calling;
  std::memcpy(to_serving.key.data(), exported.data(), kKey);
  std::memcpy(to_calling.key.data(), exported.data() + kKey, kKey);
  std::memcpy(to_serving.iv.data(), exported.data() + 2 * kKey, kIv);
  std::memcpy(to_calling.iv.data(), exported.data() + 2 * kKey + kIv, kIv);
  ConnectionKeys keys =
      calling ? ConnectionKeys{to_serving, to_calling} : ConnectionKeys{to_calling, to_serving};
  OPENSSL_cleanse(&to_serving, sizeof(to_serving));
  OPENSSL_cleanse(&to_calling, sizeof(to_calling));
  return keys;
}

RecordSealer::RecordSealer(const RecordKeys& keys) : aead_(MakeAes128Gcm(keys.key)), iv_(keys.iv) {}

void RecordSealer::Seal(std::span<const uint8_t> plain, std::vector<uint8_t>* out,
                        const std::string& peer) {
  std::size_t records = (plain.size() + kMaxRecordPlain - 1) / kMaxRecordPlain;
  uint64_t blocks = plain.size() / 16 + 2 * records;
  if (blocks_ + blocks > kMostBlocksPerKey)
    throw Wr::Failure({"write failed", peer, "connection key used up"});
  blocks_ += blocks;
  std::size_t at = out->size();
  out->resize(at + plain.size() + records * (kRecordHeaderSize + Aead::kTagSize));
  for (std::size_t done = 0; done < plain.size();) {
    std::size_t n = std::min(kMaxRecordPlain, plain.size() - done);
    uint8_t* record = out->data() + at;
    PutLength(record, static_cast<uint32_t>(n));
    std::array<uint8_t, Aead::kNonceSize> nonce = NonceOf(iv_, sequence_++);
    aead_->Seal(nonce, {record, kRecordHeaderSize}, plain.subspan(done, n),
                record + kRecordHeaderSize,
                std::span<uint8_t, Aead::kTagSize>(record + kRecordHeaderSize + n, Aead::kTagSize));
    done += n;
    at += kRecordHeaderSize + n + Aead::kTagSize;
  }
}

RecordOpener::RecordOpener(const RecordKeys& keys, std::string peer)
    : aead_(MakeAes128Gcm(keys.key)), iv_(keys.iv), peer_(std::move(peer)) {}

std::span<uint8_t> RecordOpener::Space() {
  // Made on the first bytes, so a connection that never got past its handshake holds none.
  if (buf_.empty()) buf_.resize(kMaxRecordSize);
  if (plain_begin_ == plain_end_ && record_end_ > 0) {
    // Only bytes of unopened records are left: they move to the front.
    std::memmove(buf_.data(), buf_.data() + record_end_, end_ - record_end_);
    end_ -= record_end_;
    plain_begin_ = plain_end_ = record_end_ = 0;
  }
  return std::span<uint8_t>(buf_).subspan(end_);
}

// Opens the record at record_end_ when it is whole.
bool RecordOpener::OpenNext() {
  std::size_t at = record_end_;
  if (end_ - at < kRecordHeaderSize) return false;
  uint8_t* record = buf_.data() + at;
  uint32_t n = GetLength(record);
  if (n == 0 || n > kMaxRecordPlain)
    throw Rd::Failure({"read failed", peer_, "bad record length " + std::to_string(n)});
  if (end_ - at < kRecordHeaderSize + n + Aead::kTagSize) return false;
  uint8_t* body = record + kRecordHeaderSize;
  std::array<uint8_t, Aead::kNonceSize> nonce = NonceOf(iv_, sequence_++);
  if (!aead_->Open(nonce, {record, kRecordHeaderSize}, {body, n}, body,
                   std::span<const uint8_t, Aead::kTagSize>(body + n, Aead::kTagSize)))
    throw Rd::Failure({"read failed", peer_, "record failed authentication"});
  plain_begin_ = at + kRecordHeaderSize;
  plain_end_ = plain_begin_ + n;
  record_end_ = plain_end_ + Aead::kTagSize;
  return true;
}

std::size_t RecordOpener::Take(void* data, std::size_t n) {
  auto* to = static_cast<uint8_t*>(data);
  std::size_t given = 0;
  while (given < n) {
    if (plain_begin_ == plain_end_) {
      if (record_end_ > 0 && record_end_ == end_) {
        plain_begin_ = plain_end_ = record_end_ = end_ = 0;  // all taken
        break;
      }
      if (buf_.empty() || !OpenNext()) break;
    }
    std::size_t k = std::min(n - given, plain_end_ - plain_begin_);
    std::memcpy(to + given, buf_.data() + plain_begin_, k);
    given += k;
    plain_begin_ += k;
  }
  return given;
}

}  // namespace NetObj
