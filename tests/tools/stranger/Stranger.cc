// The stranger's request and its reading of the answer.
#include "tests/tools/stranger/Stranger.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "netobj/wire/Frame.h"
#include "netobj/wire/Message.h"
#include "netobj/wire/Socket.h"

namespace stranger {

using namespace NetObj;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kAgentObject = 1;
constexpr int32_t kAgentProt = 1;
constexpr int32_t kAgentGet = 2;
// How long a peer that answered with an error frame may take to close the connection.
constexpr std::chrono::milliseconds kCloseGrace{2000};

// The call header as the wire lays it out: no caller space (a peer that does not say), the
// target, the stub protocol and no releases.
void PutHeader(MessageWriter& w, WireId target, int32_t stub_prot) {
  w.PutU64(0);
  w.PutU64(target.space);
  w.PutU64(target.object);
  w.PutI32(stub_prot);
  w.PutU32(0);
}

Request Sealed(MessageWriter& w, bool import) {
  auto frame = w.Seal(MessageKind::kCall);
  return Request{{frame.begin(), frame.end()}, import};
}

// Receives into `into` until it holds `want` bytes, the peer closes, or `deadline`; false when
// it stopped short.
bool ReceiveUpTo(const Socket& s, std::vector<uint8_t>* into, std::size_t want,
                 Clock::time_point deadline, bool* closed) {
  while (into->size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{s.fd(), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    uint8_t buf[4096];
    ssize_t n = ::recv(s.fd(), buf, std::min(sizeof(buf), want - into->size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // a reset counts as closed: the peer is gone either way
      *closed = true;
      return false;
    }
    into->insert(into->end(), buf, buf + n);
  }
  return true;
}

bool ClosesWithin(const Socket& s, std::chrono::milliseconds grace) {
  std::vector<uint8_t> rest;
  bool closed = false;
  // Bytes after the frame would be a second answer; the peer is expected to say nothing more.
  ReceiveUpTo(s, &rest, 1, Clock::now() + grace, &closed);
  return closed && rest.empty();
}

Answer ReadReply(std::span<const uint8_t> body, const FrameHeader& h, bool import) {
  Answer a;
  a.kind = Answer::Kind::kReply;
  MessageReader in(body, h.format);
  in.GetU64();  // the replier's space
  const uint8_t* values = body.data() + (body.size() - in.remaining());
  a.values.assign(values, body.data() + body.size());
  if (import && in.remaining() >= 4 && in.GetI32() == 0) {
    WireValue v = in.GetRef();
    if (auto* r = std::get_if<ObjectRef>(&v)) a.object = *r;
  }
  return a;
}

}  // namespace

Request ImportRequest(const std::string& name) {
  MessageWriter w;
  PutHeader(w, WireId{0, kAgentObject}, kAgentProt);
  w.PutI32(kAgentGet);
  w.PutTextRef(name);
  return Sealed(w, true);
}

Request CallRequest(WireId target, int32_t stub_prot, const std::vector<int32_t>& values) {
  MessageWriter w;
  PutHeader(w, target, stub_prot);
  for (int32_t v : values) w.PutI32(v);
  return Sealed(w, false);
}

Answer Ask(const Endpoint& to, const Request& request, std::chrono::milliseconds limit) {
  Answer a;
  const Clock::time_point deadline = Clock::now() + limit;
  Socket s;
  try {
    s = Socket::Connect(to, std::min(limit, std::chrono::milliseconds(3000)));
    s.SendAll(request.frame.data(), request.frame.size(), to.ToString());
  } catch (const Error& e) {
    a.kind = Answer::Kind::kUnreachable;
    a.atoms = e.atoms();
    return a;
  } catch (const Wr::Failure&) {
    // Refused while the request was still leaving: what the peer said is still to be read.
  }
  std::vector<uint8_t> got;
  bool closed = false;
  const bool header_in = ReceiveUpTo(s, &got, kHeaderSize, deadline, &closed);
  if (got.empty()) {
    a.kind = closed ? Answer::Kind::kClosed : Answer::Kind::kSilent;
    return a;
  }
  if (std::memcmp(got.data(), kMagic, std::min(got.size(), sizeof(kMagic))) != 0) {
    a.kind = Answer::Kind::kNotAFrame;
    a.bytes = got;
    return a;
  }
  if (!header_in) {
    a.kind = Answer::Kind::kCut;
    a.bytes = got;
    return a;
  }
  FrameHeader h;
  try {
    h = DecodeHeader(got.data());
  } catch (const MalformedFrame&) {
    a.kind = Answer::Kind::kNotAFrame;
    a.bytes = got;
    return a;
  }
  std::vector<uint8_t> body;
  if (!ReceiveUpTo(s, &body, h.length, deadline, &closed)) {
    a.kind = Answer::Kind::kCut;
    a.bytes = got;
    a.bytes.insert(a.bytes.end(), body.begin(), body.end());
    return a;
  }
  try {
    switch (h.kind) {
      case MessageKind::kReply:
        return ReadReply(body, h, request.import);
      case MessageKind::kError: {
        MessageReader in(body, h.format);
        in.GetU64();  // the replier's space
        a.kind = Answer::Kind::kError;
        const uint32_t n = in.GetU32();
        if (n == 0 || n > kMaxErrorAtoms) FailMalformed("atom count");
        for (uint32_t i = 0; i < n; ++i) a.atoms.push_back(in.GetString(kMaxAtomLength));
        a.closed_after = ClosesWithin(s, kCloseGrace);
        return a;
      }
      case MessageKind::kCall:
        break;
    }
  } catch (const Error&) {
  }
  // A call, or a reply or error whose body breaks the rules: not an answer this peer knows.
  a.kind = Answer::Kind::kNotAFrame;
  a.bytes = got;
  a.bytes.insert(a.bytes.end(), body.begin(), body.end());
  return a;
}

std::string Describe(const Answer& a) {
  auto joined = [](const AtomList& atoms) {
    std::string s;
    for (const std::string& atom : atoms) s += (s.empty() ? "" : " | ") + atom;
    return s;
  };
  auto hex = [](const std::vector<uint8_t>& bytes) {
    std::string s;
    char two[3];
    for (std::size_t i = 0; i < bytes.size() && i < 32; ++i) {
      std::snprintf(two, sizeof(two), "%02x", bytes[i]);
      s += two;
    }
    return s;
  };
  switch (a.kind) {
    case Answer::Kind::kReply: {
      if (!a.object) {
        if (a.values.size() == 5 && a.values[4] == 0) return "reply null";
        return "reply " + std::to_string(a.values.size()) + " bytes";
      }
      char space[17];
      std::snprintf(space, sizeof(space), "%016llx",
                    static_cast<unsigned long long>(a.object->id.space));
      std::string types;
      for (const std::string& t : a.object->types) types += (types.empty() ? "" : ",") + t;
      return std::string("reply object ") + space + " " + std::to_string(a.object->id.object) +
             " " + types;
    }
    case Answer::Kind::kError:
      return "error: " + joined(a.atoms) + (a.closed_after ? " (closed)" : " (left open)");
    case Answer::Kind::kClosed:
      return "closed";
    case Answer::Kind::kNotAFrame:
      return "not a frame: " + hex(a.bytes);
    case Answer::Kind::kCut:
      return "cut after " + std::to_string(a.bytes.size()) + " bytes";
    case Answer::Kind::kSilent:
      return "silent";
    case Answer::Kind::kUnreachable:
      return "unreachable: " + joined(a.atoms);
  }
  return "?";
}

}  // namespace stranger
