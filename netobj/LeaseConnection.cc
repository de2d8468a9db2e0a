// A holder's lease connection: its connecting, its renewals and their replies, its end.
#include "netobj/LeaseConnection.h"

#include <cerrno>

#include "netobj/LeaseCodec.h"
#include "netobj/SurrogateLink.h"
#include "netobj/Transport.h"

namespace NetObj {

LeaseConnection::LeaseConnection(std::unique_ptr<Channel> chan, uint64_t holder, uint64_t owner)
    : chan_(std::move(chan)), holder_(holder), owner_(owner) {}

std::variant<std::unique_ptr<LeaseConnection>, LeaseConnection::Loss> LeaseConnection::Open(
    const RuntimeOptions& options, Transport& transport, uint64_t holder, uint64_t owner,
    const std::vector<Endpoint>& order) {
  if (order.empty()) return Loss::kOwner;
  bool all_refused = true;
  for (const Endpoint& e : order) {
    try {
      Socket s = Socket::Connect(e, options.connect_timeout);
      s.SetRecvTimeout(options.lease_renewal);
      s.SetSendTimeout(options.lease_renewal);
      // Failures name the owner's space.
      auto chan = transport.Opened(std::move(s), "owner " + std::to_string(owner),
                                   options.request_deadline);
      return std::unique_ptr<LeaseConnection>(new LeaseConnection(std::move(chan), holder, owner));
    } catch (const ConnectError& err) {
      if (err.code() != ECONNREFUSED) all_refused = false;
    } catch (const Error&) {
      all_refused = false;  // a keyed owner that is full answers "server busy": it lives
    } catch (const Rd::Failure&) {
      all_refused = false;  // the channel could not be set up here
    }
  }
  // Nobody listens at any of the owner's addresses: the owner's runtime is gone.
  return all_refused ? Loss::kOwner : Loss::kConnection;
}

bool LeaseConnection::Send(Renewal r) {
  std::vector<uint64_t> registrations;
  registrations.reserve(r.again.size());
  for (const auto& sur : r.again) registrations.push_back(sur->link()->ref().id.object);
  PutRenewal(out_, holder_, owner_, r.releases, registrations);
  try {
    chan_->Send(out_.Seal(MessageKind::kCall), false);
  } catch (const Wr::Failure&) {
    return false;
  }
  awaiting_ = std::move(r);
  return true;
}

LeaseConnection::Read LeaseConnection::ReadReply() {
  try {
    FrameAssembler::Got got = chan_->Pump(FrameAssembler::Wait::kNever);
    if (got == FrameAssembler::Got::kWouldBlock) return Pending{};
    if (got == FrameAssembler::Got::kClosed) return Loss::kConnection;
    FrameHeader h = chan_->TakeFrame(&body_);
    in_.Reset(body_, h.format);
    LeaseAnswer answer = OpenLeaseReply(h, in_, owner_);
    if (answer != LeaseAnswer::kReply)
      return answer == LeaseAnswer::kOtherRuntime ? Loss::kOwner : Loss::kConnection;
    RenewalReply reply = GetRenewalReply(in_, awaiting_->again.size());
    Answer got_answer{reply.epoch, std::move(*awaiting_), std::move(reply.counted)};
    awaiting_.reset();
    return got_answer;
  } catch (const Rd::Failure&) {
  } catch (const Error&) {
  }
  return Loss::kConnection;
}

LeaseConnection::End LeaseConnection::EndLease() {
  PutEndLease(out_, holder_, owner_);
  try {
    chan_->Send(out_.Seal(MessageKind::kCall), false);
    FrameHeader h = chan_->ReadFrame(&body_);
    in_.Reset(body_, h.format);
    LeaseAnswer answer = OpenLeaseReply(h, in_, owner_);
    if (answer != LeaseAnswer::kReply)
      return answer == LeaseAnswer::kOtherRuntime ? End::kOwnerGone : End::kKept;
    return GetEndReply(in_) ? End::kEnded : End::kKept;
  } catch (const Rd::Failure&) {
  } catch (const Wr::Failure&) {
  } catch (const Error&) {
  }
  return End::kKept;
}

}  // namespace NetObj
