// A channel that authenticates with TLS 1.3 over the TCP socket, with an external pre-shared key
// derived from the cluster key and an (EC)DHE exchange (psk_dhe_ke), so that a recorded session
// stays secret even from a later holder of the key. No certificates, no session tickets, no
// early data: a replayed recording meets a fresh server share and fails the handshake. Once the
// handshake is done, each direction's key is exported from it and the frames travel as our own
// sealed records (SealedRecords.h): the TLS state is freed, and a call's short messages cost one
// AES-GCM operation each rather than a pass through OpenSSL's record machinery.
//
// The calling side completes the handshake before its first frame (Handshake, with a deadline).
// The serving side's handshake runs inside Receive, so the polling thread drives it with
// non-blocking steps like any slow request: frame_started() is true from the accept until the
// handshake is done. A serving channel first looks at the peer's first byte: one that cannot
// begin a TLS handshake is a plain peer; its bytes are read and dropped, Pump throws
// MalformedFrame (kOnlyKeyHolders), and the one error reply that follows goes out plain.
//
// Implemented in TlsChannel.cc. Ownership: owns its socket, its TLS state (until the handshake
// is done), its records and its frame assembler; shares the TlsContext. Not thread-safe
// (Channel.h): Shutdown alone may come from another thread. TlsContext is immutable after
// construction and thread-safe.
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netobj/Channel.h"
#include "netobj/ClusterKey.h"
#include "netobj/SealedRecords.h"
#include "netobj/wire/ByteSource.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Socket.h"

namespace NetObj {

// What every TLS channel of one runtime shares: the settings and the key they derive from.
class TlsContext {
 public:
  explicit TlsContext(const ClusterKey& key);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* ctx() const { return ctx_; }
  const std::string& source() const { return source_; }
  // The session a handshake resumes: the pre-shared key under TLS 1.3's one suite we offer.
  SSL_SESSION* MakeSession(SSL* ssl) const;

 private:
  SSL_CTX* ctx_;
  std::array<uint8_t, 32> psk_{};
  std::string source_;
};

class TlsChannel final : public Channel, private ByteSource {
 public:
  enum class Role { kCalling, kServing };
  TlsChannel(std::shared_ptr<const TlsContext> context, Socket s, std::string peer_text, Role role);
  ~TlsChannel() override;

  // Calling side: the handshake, complete within `deadline`. Throws HandshakeRefused.
  void Handshake(std::chrono::milliseconds deadline);
  // The group of the (EC)DHE exchange the handshake used (an OpenSSL NID), 0 for none.
  int KeyExchangeGroup() const;

  const std::string& peer_text() const override { return peer_text_; }
  int fd() const override { return sock_.fd(); }
  void Send(std::span<const uint8_t> frame, bool dont_wait) override;
  FrameHeader ReadFrame(std::vector<uint8_t>* body) override;
  FrameAssembler::Got Pump(FrameAssembler::Wait wait) override;
  FrameHeader TakeFrame(std::vector<uint8_t>* body) override { return frames_.Take(body); }
  bool frame_started() const override {
    return phase_ != Phase::kOpen || opener_->holds_bytes() || frames_.started();
  }
  uint32_t frame_announced() const override { return frames_.announced(); }
  std::optional<int> IncomingCpu() const override { return sock_.IncomingCpu(); }
  void Shutdown() override { sock_.ShutdownBoth(); }

 private:
  enum class Phase {
    kFirstByte,  // serving: nothing of the peer looked at yet
    kHandshake,
    kOpen,
    kPlainPeer,  // serving: the peer spoke plain frames; only the refusal goes out
  };
  // The bytes the TLS layer moves, as its transport callbacks see them.
  struct Transfer {
    bool dont_wait = false;      // a write the socket cannot take at once fails
    bool blocked = false;        // a read found nothing there
    bool ended = false;          // the peer ended its direction
    int error = 0;               // errno of a failed transfer
    std::vector<uint8_t> first;  // the first bytes the peer sent, to tell what it speaks
  };

  std::optional<std::size_t> Receive(void* data, std::size_t n, const std::string& peer,
                                     bool wait) override;
  std::optional<std::size_t> LookAtFirstByte();
  bool ServingHandshakeStep();
  using Clock = std::chrono::steady_clock;
  // Whether the socket has something (bytes, its end, a failure) before `until`.
  bool ReadableBefore(Clock::time_point until) const;
  std::string RefusalText();
  void ReadRestOfAnswer();
  void Attach();
  // The handshake is done: the records' keys come from it, and its state goes.
  void OpenRecords();

  static int BioWrite(BIO* b, const char* data, int n);
  static int BioRead(BIO* b, char* data, int n);
  static long BioCtrl(BIO* b, int cmd, long num, void* ptr);

  std::shared_ptr<const TlsContext> context_;
  Socket sock_;
  std::string peer_text_;
  Role role_;
  Phase phase_;
  SSL* ssl_ = nullptr;
  Transfer io_;
  int group_ = 0;
  std::optional<RecordSealer> sealer_;
  std::optional<RecordOpener> opener_;
  std::vector<uint8_t> sealed_;  // the records of the frame being sent
  FrameAssembler frames_;
};

}  // namespace NetObj
