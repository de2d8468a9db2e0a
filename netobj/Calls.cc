// The operations that stub units call (NetObj.h), forwarded to the runtime instance that owns
// the call (the surrogate's runtime on the calling side, the serving runtime on the other), and
// there to the part that owns the operation: a side for the call's frame, the core for
// references.
#include "netobj/RuntimeCore.h"

namespace NetObj {

namespace {

// A stub that mixes up the sides gets an error, not a cast to the wrong type.
OutgoingCall& Outgoing(CallConnection& c) {
  if (c.role() != CallConnection::Role::kCalling)
    throw Error({"not a call", "a served call is answered, not waited for"});
  return static_cast<OutgoingCall&>(c);
}

IncomingCall& Incoming(CallConnection& c) {
  if (c.role() != CallConnection::Role::kServing)
    throw Error({"not a served call", "only a served call has a reply to begin"});
  return static_cast<IncomingCall&>(c);
}

void CheckWritable(CallConnection& c) {
  if (c.role() == CallConnection::Role::kServing && !static_cast<IncomingCall&>(c).reply_begun)
    throw Error({"reply not begun", "BeginReply comes before the reply's values"});
}

}  // namespace

CallConnection& OpenCall(T& obj, int32_t stubProt) {
  const std::shared_ptr<SurrogateLink>& link = obj.link();
  if (!link) throw Error({"not a surrogate", "calls go to remote objects only"});
  std::shared_ptr<RuntimeCore> core = link->core();
  if (!core) throw Error({"runtime has shut down"});
  return core->calling().OpenCall(link, stubProt);
}

DataFormat WaitForReply(CallConnection& c) {
  OutgoingCall& call = Outgoing(c);
  return call.core().calling().WaitForReply(call);
}

void CloseCall(CallConnection& c, bool reuse) {
  OutgoingCall& call = Outgoing(c);
  // Held until the connection is back in the pool: this may be the runtime's last owner.
  std::shared_ptr<RuntimeCore> keep = std::move(call.keep_alive);
  call.core().calling().CloseCall(call, reuse);
}

void BeginReply(CallConnection& c) {
  IncomingCall& call = Incoming(c);
  call.core().serving().BeginReply(call);
}

void PutInt32(CallConnection& c, int32_t v) {
  CheckWritable(c);
  c.out.PutI32(v);
}

void PutInteger(CallConnection& c, int64_t v) {
  CheckWritable(c);
  c.out.PutI64(v);
}

void PutBoolean(CallConnection& c, bool v) {
  CheckWritable(c);
  c.out.PutU8(v ? 1 : 0);
}

void PutReal(CallConnection& c, float v) {
  CheckWritable(c);
  c.out.PutF32(v);
}

void PutRef(CallConnection& c, const Ref& r) {
  CheckWritable(c);
  c.core().PutRef(c, r);
}

// The values are read in the byte order their message announced: `rep` is that message's
// DataFormat, which the reader already holds.
int32_t GetInt32(CallConnection& c, DataFormat, int32_t lowest, int32_t highest) {
  int32_t v = c.in.GetI32();
  if (v < lowest || v > highest) throw Error({"bad data", "integer out of range"});
  return v;
}

int64_t GetInteger(CallConnection& c, DataFormat, int64_t lowest, int64_t highest) {
  int64_t v = c.in.GetI64();
  if (v < lowest || v > highest) throw Error({"bad data", "integer out of range"});
  return v;
}

bool GetBoolean(CallConnection& c) { return c.in.GetBool(); }

float GetReal(CallConnection& c, DataFormat) { return c.in.GetF32(); }

Ref GetRef(CallConnection& c, DataFormat, const TypeCode& expected) {
  return c.core().GetRef(c, expected);
}

void FailBadData() { throw Error({"bad data"}); }

void FailCommunication(const AtomList& atoms) { throw Error(atoms); }

}  // namespace NetObj
