// The record layer of a keyed connection once its TLS 1.3 handshake is done: every frame goes
// out as one or more sealed records, each a 4-byte big-endian length L (1..kMaxRecordPlain), L
// bytes of AES-128-GCM ciphertext and a 16-byte tag over the length and the ciphertext. Each
// direction has its own key and nonce base, exported from the handshake, and numbers its records
// from 0; a record's nonce is the base with the number folded into its last 8 bytes. So a record
// that was altered, replayed, reordered, moved to the other direction or dropped before another
// fails its tag, and the connection ends: nothing of it reaches the frames. (Records dropped
// just before the connection's end look like that end: the frame they carried never arrives.)
//
// Implemented in SealedRecords.cc. Ownership: each owns its Aead and its buffer. Not
// thread-safe: a sealer belongs to the thread that sends, an opener to the one that reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "netobj/Aead.h"

namespace NetObj {

constexpr std::size_t kRecordHeaderSize = 4;
constexpr std::size_t kMaxRecordPlain = 16384;
constexpr std::size_t kMaxRecordSize = kRecordHeaderSize + kMaxRecordPlain + Aead::kTagSize;

// One direction's key and nonce base.
struct RecordKeys {
  std::array<uint8_t, Aead::kKeySize> key{};
  std::array<uint8_t, Aead::kNonceSize> iv{};
};

// What both ends export from the handshake: the key towards the serving end, the key towards
// the calling end, then the two nonce bases in the same order.
constexpr std::size_t kExportedKeyBytes = 2 * (Aead::kKeySize + Aead::kNonceSize);
struct ConnectionKeys {
  RecordKeys sending;
  RecordKeys receiving;
};
// One end's two directions: what the calling end sends, the serving end receives.
ConnectionKeys SplitExportedKeys(std::span<const uint8_t, kExportedKeyBytes> exported,
                                 bool calling);

class RecordSealer {
 public:
  explicit RecordSealer(const RecordKeys& keys);
  // Appends the records that carry `plain` to *out. Throws Wr::Failure naming `peer` once this
  // direction has sealed as much as one key may protect.
  void Seal(std::span<const uint8_t> plain, std::vector<uint8_t>* out, const std::string& peer);

 private:
  std::unique_ptr<Aead> aead_;
  std::array<uint8_t, Aead::kNonceSize> iv_;
  uint64_t sequence_ = 0;
  uint64_t blocks_ = 0;
};

// Takes the bytes as they arrive, in pieces of any size, and gives out the plaintext of the
// records that arrived whole and authentic.
class RecordOpener {
 public:
  RecordOpener(const RecordKeys& keys, std::string peer);
  // Where the next bytes from the socket go; never empty once Take has given out all the
  // plaintext held (it is called only then).
  std::span<uint8_t> Space();
  // `k` bytes were written at Space().
  void Received(std::size_t k) { end_ += k; }
  // Copies out up to `n` bytes of plaintext, opening the records that are whole; 0 when none is
  // there yet. Throws Rd::Failure for a record that is malformed or fails its tag.
  std::size_t Take(void* data, std::size_t n);
  // Whether any byte of a record, or plaintext not yet taken, is held.
  bool holds_bytes() const { return plain_end_ > plain_begin_ || end_ > record_end_; }

 private:
  bool OpenNext();

  std::unique_ptr<Aead> aead_;
  std::array<uint8_t, Aead::kNonceSize> iv_;
  std::string peer_;
  uint64_t sequence_ = 0;
  std::vector<uint8_t> buf_;
  // [plain_begin_, plain_end_): plaintext not yet taken; [record_end_, end_): bytes of the
  // records that follow, not yet opened.
  std::size_t plain_begin_ = 0;
  std::size_t plain_end_ = 0;
  std::size_t record_end_ = 0;
  std::size_t end_ = 0;
};

}  // namespace NetObj
