// The three transports: plain for a runtime without a key (protected mode), TLS for one with a
// key, and none for one whose key file was refused.
#include "netobj/Transport.h"

#include "netobj/PlainChannel.h"
#include "netobj/TlsChannel.h"
#include "netobj/wire/Addresses.h"

namespace NetObj {

namespace {

class PlainTransport final : public Transport {
 public:
  // The host's own addresses as they are at start; the connection's own end covers an address
  // the host gained since.
  PlainTransport() : local_(LocalAddresses(0, true)) {}

  AtomList Refusal(const Endpoint& peer, const Endpoint& local) const override {
    if (IsLocalPeer(peer, local_) || IsLocalPeer(peer, {local})) return {};
    return {kOnlyLocalPeers};
  }
  std::unique_ptr<Channel> Accepted(Socket s, std::string peer_text) override {
    return std::make_unique<PlainChannel>(std::move(s), std::move(peer_text));
  }
  std::unique_ptr<Channel> Opened(Socket s, std::string peer_text,
                                  std::chrono::milliseconds) override {
    return std::make_unique<PlainChannel>(std::move(s), std::move(peer_text));
  }
  std::string RefusalReason(const AtomList& atoms) const override {
    if (atoms.size() != 1) return {};
    if (atoms[0] == kOnlyLocalPeers) return atoms[0];
    if (atoms[0] == kOnlyKeyHolders)
      return std::string("no matching cluster key (we hold none: set ") + kKeyFileVariable + ")";
    return {};
  }

 private:
  std::vector<Endpoint> local_;
};

class TlsTransport final : public Transport {
 public:
  explicit TlsTransport(const ClusterKey& key) : context_(std::make_shared<TlsContext>(key)) {}

  AtomList Refusal(const Endpoint&, const Endpoint&) const override { return {}; }
  std::unique_ptr<Channel> Accepted(Socket s, std::string peer_text) override {
    return std::make_unique<TlsChannel>(context_, std::move(s), std::move(peer_text),
                                        TlsChannel::Role::kServing);
  }
  std::unique_ptr<Channel> Opened(Socket s, std::string peer_text,
                                  std::chrono::milliseconds deadline) override {
    auto c = std::make_unique<TlsChannel>(context_, std::move(s), std::move(peer_text),
                                          TlsChannel::Role::kCalling);
    c->Handshake(deadline);
    return c;
  }
  // Refusals arrive during the handshake (HandshakeRefused), never as a reply.
  std::string RefusalReason(const AtomList&) const override { return {}; }

 private:
  std::shared_ptr<const TlsContext> context_;
};

// The line at start has said why; every connection fails with it.
class RefusedTransport final : public Transport {
 public:
  explicit RefusedTransport(std::string why) : why_(std::move(why)) {}

  AtomList Refusal(const Endpoint&, const Endpoint&) const override {
    return {"this host's cluster key was refused", why_};
  }
  std::unique_ptr<Channel> Accepted(Socket s, std::string peer_text) override {
    return std::make_unique<PlainChannel>(std::move(s), std::move(peer_text));
  }
  std::unique_ptr<Channel> Opened(Socket, std::string peer_text,
                                  std::chrono::milliseconds) override {
    throw ConnectError({"cannot connect", peer_text, "our cluster key was refused", why_});
  }
  std::string RefusalReason(const AtomList&) const override { return {}; }

 private:
  std::string why_;
};

}  // namespace

std::shared_ptr<Transport> MakeTransport(const KeySetting& setting) {
  if (!setting.refused.empty()) return std::make_shared<RefusedTransport>(setting.refused);
  if (setting.key) return std::make_shared<TlsTransport>(*setting.key);
  return std::make_shared<PlainTransport>();
}

}  // namespace NetObj
