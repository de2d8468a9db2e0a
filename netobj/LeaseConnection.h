// One lease connection from this holder to one owner: connecting to the owner's addresses, a
// renewal sent and its reply read as it arrives (the lease thread waits on the descriptor, so a
// reply never blocks it), and ending the lease. The connection holds the renewal awaiting its
// reply, and with it the surrogates that renewal registers again, until the reply is read or
// the connection is dropped.
//
// Implemented in LeaseConnection.cc, over a channel of the runtime's transport. Ownership: the
// lease thread's state owns it; closing it (destroying it) tells the owner to drop our holdings.
// Not thread-safe: the owner's lease thread alone uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "netobj/Channel.h"
#include "netobj/ExportTable.h"
#include "netobj/NetObj.h"
#include "netobj/RuntimeOptions.h"
#include "netobj/Transport.h"
#include "netobj/wire/Endpoint.h"
#include "netobj/wire/Message.h"

namespace NetObj {

class LeaseConnection {
 public:
  // What ended the connection's use.
  enum class Loss {
    kConnection,  // it broke, or could not be made for now: connect again
    kOwner,       // the owner's runtime is gone (nobody listens, or another runtime answers)
  };
  // What one renewal carries, and what its reply answers.
  struct Renewal {
    std::vector<ExportTable::Release> releases;  // those no call took
    std::vector<std::shared_ptr<T>> again;       // counted under an older epoch: registered again
    bool held = false;                           // something was held under the known epoch
    uint64_t ticket = 0;                         // the checks its reply answers
  };
  // The reply to the renewal, which comes back with it.
  struct Answer {
    uint64_t epoch = 0;
    Renewal renewal;
    std::vector<uint8_t> counted;  // per renewal.again: whether the owner still had it
  };
  struct Pending {};  // no whole reply yet
  using Read = std::variant<Pending, Answer, Loss>;
  enum class End { kEnded, kKept, kOwnerGone };

  // Connects to the first of the owner's addresses that accepts.
  static std::variant<std::unique_ptr<LeaseConnection>, Loss> Open(
      const RuntimeOptions& options, Transport& transport, uint64_t holder, uint64_t owner,
      const std::vector<Endpoint>& order);

  // For the lease thread's poll: readable when a reply, or the owner's close, arrived.
  int fd() const { return chan_->fd(); }
  // Sends the renewal and holds it until its reply; false when the connection broke (the
  // releases lost with it are moot: the owner drops the lease when the connection closes).
  bool Send(Renewal r);
  // Reads what arrived of the held renewal's reply, without blocking.
  Read ReadReply();
  // Asks the owner to end the lease and waits for its answer; kKept also when that failed.
  End EndLease();

 private:
  LeaseConnection(std::unique_ptr<Channel> chan, uint64_t holder, uint64_t owner);

  std::unique_ptr<Channel> chan_;
  uint64_t holder_;
  uint64_t owner_;
  MessageWriter out_;
  std::vector<uint8_t> body_;
  MessageReader in_;
  std::optional<Renewal> awaiting_;  // sent; its reply has not come yet
};

}  // namespace NetObj
