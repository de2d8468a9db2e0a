// TLS 1.3 with the cluster's pre-shared key: the shared settings, the key derivation, the
// transport callbacks over our socket, and the handshakes of both sides.
#include "netobj/TlsChannel.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "netobj/Envelope.h"
#include "netobj/Transport.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/WireFormat.h"

namespace NetObj {

namespace {

// Both ends name the one key they hold by the same identity; a peer with another key fails the
// binder check.
constexpr unsigned char kIdentity[] = "netobj cluster key v1";
constexpr std::size_t kIdentityLength = sizeof(kIdentity) - 1;
constexpr unsigned char kSalt[] = "netobj cluster psk";
constexpr unsigned char kInfo[] = "tls13 external psk";
// TLS_AES_128_GCM_SHA256: the one suite offered, so both ends agree on the PSK's hash.
constexpr unsigned char kSuite[2] = {0x13, 0x01};
constexpr uint8_t kHandshakeRecord = 0x16;
// Enough of what a peer sent first to read a plain refusal from it.
constexpr std::size_t kFirstBytesKept = 1024;
// How long the rest of a plain refusal may take to follow its first bytes.
constexpr int kAnswerWaitMs = 200;
// What both ends export from the handshake for the records' keys.
constexpr char kExporterLabel[] = "EXPORTER-netobj records v1";
// A send buffer grown this large by one big frame is let go afterwards.
constexpr std::size_t kSendBufferKept = 256 * 1024;
// A TLS operation that asks for bytes without having asked the socket (a record that carried no
// data) is tried again this often before the channel waits for the socket.
constexpr int kMostRetries = 64;

std::array<uint8_t, 32> DerivePsk(const std::vector<uint8_t>& secret) {
  std::array<uint8_t, 32> out{};
  EVP_PKEY_CTX* p = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  std::size_t length = out.size();
  bool ok = p != nullptr && EVP_PKEY_derive_init(p) > 0 &&
            EVP_PKEY_CTX_set_hkdf_md(p, EVP_sha256()) > 0 &&
            EVP_PKEY_CTX_set1_hkdf_salt(p, kSalt, sizeof(kSalt) - 1) > 0 &&
            EVP_PKEY_CTX_set1_hkdf_key(p, secret.data(), static_cast<int>(secret.size())) > 0 &&
            EVP_PKEY_CTX_add1_hkdf_info(p, kInfo, sizeof(kInfo) - 1) > 0 &&
            EVP_PKEY_derive(p, out.data(), &length) > 0 && length == out.size();
  EVP_PKEY_CTX_free(p);
  if (!ok) throw Error({"cannot derive the TLS key from the cluster key"});
  return out;
}

const TlsContext& ContextOf(SSL* ssl) {
  return *static_cast<const TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

int UseSession(SSL* ssl, const EVP_MD* md, const unsigned char** id, std::size_t* id_length,
               SSL_SESSION** session) {
  SSL_SESSION* s = ContextOf(ssl).MakeSession(ssl);
  // A second call (after a retry request) names the hash the server chose; ours must match it.
  if (s != nullptr && md != nullptr &&
      md != SSL_CIPHER_get_handshake_digest(SSL_SESSION_get0_cipher(s))) {
    SSL_SESSION_free(s);
    s = nullptr;
  }
  *id = kIdentity;
  *id_length = kIdentityLength;
  *session = s;
  return 1;
}

int FindSession(SSL* ssl, const unsigned char* id, std::size_t id_length, SSL_SESSION** session) {
  bool ours = id_length == kIdentityLength && std::memcmp(id, kIdentity, id_length) == 0;
  *session = ours ? ContextOf(ssl).MakeSession(ssl) : nullptr;
  return 1;
}

// The reason OpenSSL gives for the last failure, and an empty error queue for the next call.
std::string TlsReason() {
  unsigned long e = ERR_peek_last_error();
  const char* r = e != 0 ? ERR_reason_error_string(e) : nullptr;
  std::string text = r != nullptr ? r : "TLS failure";
  ERR_clear_error();
  return text;
}

// What a peer that answered a handshake in plain frames meant: its refusal's atoms, when it told
// one we know; nothing otherwise.
AtomList PlainAnswer(const std::vector<uint8_t>& bytes) {
  FrameAssembler frames;
  std::span<const uint8_t> rest(bytes);
  try {
    if (frames.Deliver(&rest) == FrameAssembler::Got::kFrame) {
      std::vector<uint8_t> body;
      FrameHeader h = frames.Take(&body);
      if (h.kind == MessageKind::kError) {
        MessageReader in(body, h.format);
        in.GetU64();
        AtomList atoms = GetErrorBody(in);
        if (!atoms.empty() && (atoms[0] == kOnlyLocalPeers || atoms[0] == "server busy"))
          return atoms;
      }
    }
  } catch (const Rd::Failure&) {
  }
  return {};
}

// OpenSSL would free its global state in an exit handler, under the runtime threads that still
// run when a program returns from main (the default runtime is never destroyed): a lease thread
// mid-handshake then crashes the exit. The process's memory goes at exit anyway. Asked before
// any other use of OpenSSL, as only the first initialisation decides.
SSL_CTX* NewContext() {
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  return SSL_CTX_new(TLS_method());
}

}  // namespace

TlsContext::TlsContext(const ClusterKey& key)
    : ctx_(NewContext()), psk_(DerivePsk(key.secret)), source_(key.source) {
  if (ctx_ == nullptr) throw Error({"cannot set up TLS", TlsReason()});
  SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx_, TLS1_3_VERSION);
  SSL_CTX_set_ciphersuites(ctx_, "TLS_AES_128_GCM_SHA256");
  // No tickets and no cache: every connection proves the key afresh, and nothing arrives after
  // the handshake that is not a frame's. Without SSL_OP_ALLOW_NO_DHE_KEX both ends insist on
  // an (EC)DHE share beside the key.
  SSL_CTX_set_num_tickets(ctx_, 0);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // The handshake reads exactly its own records: what follows the last of them is already ours.
  SSL_CTX_set_read_ahead(ctx_, 0);
  SSL_CTX_set_app_data(ctx_, this);
  SSL_CTX_set_psk_use_session_callback(ctx_, UseSession);
  SSL_CTX_set_psk_find_session_callback(ctx_, FindSession);
}

TlsContext::~TlsContext() {
  SSL_CTX_free(ctx_);
  OPENSSL_cleanse(psk_.data(), psk_.size());
}

SSL_SESSION* TlsContext::MakeSession(SSL* ssl) const {
  const SSL_CIPHER* suite = SSL_CIPHER_find(ssl, kSuite);
  SSL_SESSION* s = SSL_SESSION_new();
  if (s == nullptr || suite == nullptr ||
      !SSL_SESSION_set1_master_key(s, psk_.data(), psk_.size()) ||
      !SSL_SESSION_set_cipher(s, suite) || !SSL_SESSION_set_protocol_version(s, TLS1_3_VERSION)) {
    SSL_SESSION_free(s);
    return nullptr;
  }
  return s;
}

TlsChannel::TlsChannel(std::shared_ptr<const TlsContext> context, Socket s, std::string peer_text,
                       Role role)
    : context_(std::move(context)),
      sock_(std::move(s)),
      peer_text_(std::move(peer_text)),
      role_(role),
      phase_(role == Role::kServing ? Phase::kFirstByte : Phase::kHandshake) {
  // A serving channel makes its TLS state only once the peer has shown it speaks TLS: an idle
  // connection costs no more than a plain one.
  if (role_ == Role::kCalling) Attach();
}

TlsChannel::~TlsChannel() { SSL_free(ssl_); }

void TlsChannel::Attach() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "netobj socket");
    if (m == nullptr || !BIO_meth_set_write(m, BioWrite) || !BIO_meth_set_read(m, BioRead) ||
        !BIO_meth_set_ctrl(m, BioCtrl))
      throw std::runtime_error("netobj: cannot set up TLS transport callbacks");
    return m;
  }();
  ssl_ = SSL_new(context_->ctx());
  BIO* bio = ssl_ != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) throw Rd::Failure({"cannot set up TLS", peer_text_, TlsReason()});
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  if (role_ == Role::kCalling)
    SSL_set_connect_state(ssl_);
  else
    SSL_set_accept_state(ssl_);
}

int TlsChannel::BioWrite(BIO* b, const char* data, int n) {
  auto* self = static_cast<TlsChannel*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  int flags = MSG_NOSIGNAL | (self->io_.dont_wait ? MSG_DONTWAIT : 0);
  for (;;) {
    ssize_t k = ::send(self->sock_.fd(), data, static_cast<std::size_t>(n), flags);
    if (k >= 0) return static_cast<int>(k);
    if (errno == EINTR) continue;
    // A socket that cannot take the bytes (or timed out) fails the write: nothing retries it.
    self->io_.error = errno;
    return -1;
  }
}

int TlsChannel::BioRead(BIO* b, char* data, int n) {
  auto* self = static_cast<TlsChannel*>(BIO_get_data(b));
  Transfer& io = self->io_;
  BIO_clear_retry_flags(b);
  for (;;) {
    ssize_t k = ::recv(self->sock_.fd(), data, static_cast<std::size_t>(n), MSG_DONTWAIT);
    if (k > 0) {
      std::size_t keep =
          std::min<std::size_t>(static_cast<std::size_t>(k),
                                kFirstBytesKept - std::min(kFirstBytesKept, io.first.size()));
      if (self->phase_ != Phase::kOpen) io.first.insert(io.first.end(), data, data + keep);
      return static_cast<int>(k);
    }
    if (k == 0) {
      io.ended = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      io.blocked = true;
      BIO_set_retry_read(b);
      return -1;
    }
    io.error = errno;
    return -1;
  }
}

long TlsChannel::BioCtrl(BIO* b, int cmd, long, void*) {
  if (cmd == BIO_CTRL_FLUSH) return 1;
  if (cmd == BIO_CTRL_EOF) return static_cast<TlsChannel*>(BIO_get_data(b))->io_.ended ? 1 : 0;
  return 0;
}

void TlsChannel::Handshake(std::chrono::milliseconds deadline) {
  Clock::time_point until = Clock::now() + deadline;
  for (int retries = 0;;) {
    ERR_clear_error();
    io_.blocked = false;
    io_.error = 0;
    int r = SSL_do_handshake(ssl_);
    if (r == 1) {
      try {
        return OpenRecords();
      } catch (const Rd::Failure& e) {
        throw HandshakeRefused(peer_text_, e.atoms().back());
      }
    }
    bool wants_bytes = SSL_get_error(ssl_, r) == SSL_ERROR_WANT_READ;
    if (wants_bytes && !io_.blocked && ++retries < kMostRetries) continue;
    if (!wants_bytes) {
      throw HandshakeRefused(peer_text_, RefusalText());
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0)
      // A silent peer refused nothing: no line, and the next address is tried.
      throw ConnectError({"cannot connect", peer_text_,
                          "no TLS handshake within " + std::to_string(deadline.count()) + " ms"});
    pollfd p{sock_.fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

// TLS read no more of a plain answer than a record header: the rest of the refusal, which the
// peer sent at once and followed with its end, is read here.
void TlsChannel::ReadRestOfAnswer() {
  Clock::time_point until = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  uint8_t chunk[256];
  while (io_.first.size() < kFirstBytesKept) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{sock_.fd(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    ssize_t k = ::recv(sock_.fd(), chunk,
                       std::min(sizeof(chunk), kFirstBytesKept - io_.first.size()), MSG_DONTWAIT);
    if (k <= 0) return;
    io_.first.insert(io_.first.end(), chunk, chunk + k);
  }
}

// Why the calling side's handshake failed, as the line on standard error says it. Throws Error
// with a full server's answer, which refuses nobody in particular.
std::string TlsChannel::RefusalText() {
  ERR_clear_error();  // OpenSSL's own reason ("alert decrypt error") would only restate it
  if (io_.first.size() >= sizeof(kMagic) &&
      std::equal(std::begin(kMagic), std::end(kMagic), io_.first.begin())) {
    ReadRestOfAnswer();
    AtomList answer = PlainAnswer(io_.first);
    // A full server refuses nobody in particular: the call fails with its answer, as it does
    // over a plain connection, and no line is written.
    if (!answer.empty() && answer[0] == "server busy") throw Error(answer);
    return answer.empty() ? "it holds no cluster key" : answer[0];
  }
  if (io_.first.empty() && io_.ended) return "connection closed during the TLS handshake";
  if (io_.first.empty() && io_.error != 0) return ErrnoText(io_.error);
  return "no matching cluster key (" + context_->source() + ")";
}

int TlsChannel::KeyExchangeGroup() const { return group_; }

void TlsChannel::OpenRecords() {
  // Nothing is sent after the last handshake message but records: TLS holding bytes it read
  // beyond it means a peer that does not keep to that.
  if (SSL_has_pending(ssl_) == 1)
    throw Rd::Failure(
        {"TLS handshake failed", peer_text_, "data within the last handshake record"});
  struct Exported {
    std::array<uint8_t, kExportedKeyBytes> bytes{};
    ConnectionKeys keys;
    ~Exported() { OPENSSL_cleanse(this, sizeof(*this)); }
  } exported;
  if (SSL_export_keying_material(ssl_, exported.bytes.data(), exported.bytes.size(), kExporterLabel,
                                 sizeof(kExporterLabel) - 1, nullptr, 0, 0) != 1)
    throw Rd::Failure({"TLS handshake failed", peer_text_, TlsReason()});
  exported.keys = SplitExportedKeys(exported.bytes, role_ == Role::kCalling);
  try {
    sealer_.emplace(exported.keys.sending);
    opener_.emplace(exported.keys.receiving, peer_text_);
  } catch (const std::exception& e) {
    throw Rd::Failure({"TLS handshake failed", peer_text_, e.what()});
  }
  group_ = SSL_get_negotiated_group(ssl_);
  SSL_free(ssl_);
  ssl_ = nullptr;
  io_.first = {};
  phase_ = Phase::kOpen;
}

// Serving: a peer whose first byte cannot begin a TLS handshake speaks plain frames. Its bytes
// are dropped unread, so that its end reads the one refusal that follows rather than a reset.
// Nothing when no byte is there yet, 0 when the peer left without one.
std::optional<std::size_t> TlsChannel::LookAtFirstByte() {
  uint8_t first = 0;
  for (;;) {
    ssize_t k = ::recv(sock_.fd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (k == 1) break;
    if (k == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    throw Rd::Failure({"read failed", peer_text_, ErrnoText(errno)});
  }
  if (first == kHandshakeRecord) {
    Attach();
    phase_ = Phase::kHandshake;
    return 1;
  }
  phase_ = Phase::kPlainPeer;
  uint8_t scratch[4096];
  for (int i = 0; i < 16; ++i) {
    ssize_t k = ::recv(sock_.fd(), scratch, sizeof(scratch), MSG_DONTWAIT);
    if (k <= 0) break;
  }
  throw MalformedFrame({kOnlyKeyHolders});
}

// Serving, on the polling thread: as far as the bytes that arrived take the handshake, without
// blocking. A failure ends the connection; OpenSSL has sent its alert.
bool TlsChannel::ServingHandshakeStep() {
  for (int retries = 0; retries < kMostRetries; ++retries) {
    ERR_clear_error();
    io_.dont_wait = true;
    io_.blocked = false;
    io_.error = 0;
    int r = SSL_do_handshake(ssl_);
    io_.dont_wait = false;
    if (r == 1) {
      OpenRecords();
      return true;
    }
    if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ)
      throw Rd::Failure({"TLS handshake failed", peer_text_, TlsReason()});
    if (io_.blocked) return false;
  }
  return false;
}

std::optional<std::size_t> TlsChannel::Receive(void* data, std::size_t n, const std::string&,
                                               bool wait) {
  if (phase_ == Phase::kFirstByte) {
    std::optional<std::size_t> first = LookAtFirstByte();
    if (first != 1u) return first;
  }
  if (phase_ == Phase::kHandshake && !ServingHandshakeStep()) return std::nullopt;
  if (phase_ != Phase::kOpen) return 0;
  // Plaintext already opened goes first; the socket is read only when none is left, and until
  // it has nothing more (or, when waiting, until a whole record is in). A wait is one receive
  // time-out in all, however the peer spreads a record's bytes over it: a worker that waits for
  // the next request gets the connection back in time.
  Clock::time_point start = wait ? Clock::now() : Clock::time_point();
  bool received = false;
  std::optional<Clock::time_point> until;
  for (;;) {
    if (std::size_t got = opener_->Take(data, n); got > 0) return got;
    std::span<uint8_t> space = opener_->Space();
    if (wait && received && !until) {
      std::chrono::milliseconds limit = sock_.RecvTimeout();
      until = limit.count() > 0 ? start + limit : Clock::time_point::max();
    }
    if (until && !ReadableBefore(*until)) return std::nullopt;
    std::optional<std::size_t> k =
        sock_.TryRecv(space.data(), space.size(), peer_text_, wait && !received);
    if (!k) {
      if (until) continue;  // readable, yet nothing there: the deadline decides
      return std::nullopt;
    }
    if (*k == 0) {
      if (opener_->holds_bytes())
        throw Rd::Failure({"connection closed by peer", peer_text_, "message truncated"});
      return 0;
    }
    opener_->Received(*k);
    received = true;
  }
}

bool TlsChannel::ReadableBefore(Clock::time_point until) const {
  for (;;) {
    int ms = -1;
    if (until != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      ms = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    pollfd p{sock_.fd(), POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // the read that follows says what failed
  }
}

void TlsChannel::Send(std::span<const uint8_t> frame, bool dont_wait) {
  if (phase_ == Phase::kPlainPeer) {
    sock_.SendAll(frame.data(), frame.size(), peer_text_, dont_wait);
    return;
  }
  if (phase_ != Phase::kOpen)
    throw Wr::Failure({"write failed", peer_text_, "TLS handshake incomplete"});
  sealed_.clear();
  sealer_->Seal(frame, &sealed_, peer_text_);
  sock_.SendAll(sealed_.data(), sealed_.size(), peer_text_, dont_wait);
  if (sealed_.capacity() > kSendBufferKept) sealed_ = {};
}

FrameHeader TlsChannel::ReadFrame(std::vector<uint8_t>* body) {
  return frames_.Read(*this, peer_text_, body);
}

FrameAssembler::Got TlsChannel::Pump(FrameAssembler::Wait wait) {
  return frames_.Pump(*this, peer_text_, wait);
}

}  // namespace NetObj
