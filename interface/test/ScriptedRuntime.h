// A stand-in for the network object runtime that links in place of netobj for the protocol tests
// of the stub units. It plays the peer from a script: the values that the stubs read come from a
// queue, and every operation the stubs perform is written to one log as a short line
// ("PutInteger -2147483648", "GetRef any", "CloseCall false"), so a test states the whole
// conversation of a call in one list. It can make any operation fail, records the stub
// registrations, and checks on every read that the stubs give 32-bit bounds and the message's
// own DataFormat, throwing ScriptViolation otherwise.
//
// Single-threaded: one global script, reset by each test.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "netobj/NetObj.h"

namespace Scripted {

// One value as the peer put it.
struct Value {
  enum class Kind { kInt32, kInteger, kBoolean, kReal, kRef };
  Kind kind = Kind::kInt32;
  int64_t integer = 0;
  bool boolean = false;
  float real = 0.0f;
  NetObj::Ref ref;
};
Value Int32(int32_t v);
Value Integer(int64_t v);
Value Boolean(bool v);
Value Real(float v);
Value Ref(NetObj::Ref r);

// The stubs broke the protocol (read a kind other than the next one, wrong bounds or format).
class ScriptViolation : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// What the stubs registered for one remote type, and how often.
struct Registration {
  int32_t stubProt = 0;
  NetObj::SurrogateFactory makeSurrogate = nullptr;
  NetObj::Dispatcher dispatch = nullptr;
  int count = 0;
};
const std::map<std::string, Registration, std::less<>>& Registrations();

// The formats of the two directions; a read must be given the one of the message it reads.
inline constexpr NetObj::DataFormat kRequestFormat{{0x51, 0x52, 0x53, 0x54}};
inline constexpr NetObj::DataFormat kReplyFormat{{0xa1, 0xa2, 0xa3, 0xa4}};

struct Script {
  std::deque<Value> incoming;    // what the stubs will read, in order
  std::vector<std::string> log;  // every operation, in order
  // When an operation's log line starts with this text, the operation logs and then runs raise.
  std::string failAt;
  std::function<void()> raise;
  // A second failure, for a later operation (e.g. the CloseCall after a failed wait).
  std::string alsoFailAt;
  std::function<void()> alsoRaise;
  // Off: GetRef hands over any value, as a runtime that checks no type would.
  bool runtimeChecksTypes = true;
  // The format that reads must name: the request's on the serving side, the reply's after
  // WaitForReply on the calling side.
  NetObj::DataFormat readFormat = kRequestFormat;
};

// Starts a fresh script for the next conversation.
Script& Reset();
Script& Current();
// For fake objects: methods log into the same conversation.
void Log(std::string line);
// The connection object handed to OpenCall callers and to dispatchers.
NetObj::CallConnection& Connection();

// Log line texts, shared by the runtime and the tests.
std::string RealLine(const char* op, float v);
std::string RefLine(const char* op, const NetObj::Ref& r);

}  // namespace Scripted
