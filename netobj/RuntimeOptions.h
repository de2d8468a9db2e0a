// What a runtime instance is configured with. Defaults suit a program; FromEnvironment reads
// NETOBJ_PORT (the port a process that owns objects listens on; ephemeral when unset) and
// NETOBJ_AGENT_PORT (the port of every host's agent; 7917 when unset).
#pragma once

#include <chrono>
#include <cstdint>

#include "netobj/WireFormat.h"

namespace NetObj {

inline constexpr uint16_t kDefaultAgentPort = 7917;

struct RuntimeOptions {
  uint16_t port = 0;  // 0: an ephemeral port
  uint16_t agent_port = kDefaultAgentPort;
  // How long one address of a peer may take to accept a connection before the next is tried.
  std::chrono::milliseconds connect_timeout{1000};
  // A serving connection on which no byte arrives for this long is closed. The calling side
  // notices on its next call over the pooled connection and retries once on a fresh one.
  std::chrono::milliseconds idle_timeout{60000};
  // At most this many connections are served at once; one more is answered with an error
  // ("server busy") and closed.
  int max_serving_connections = 256;
  // Test hook: the byte order this runtime writes its messages in.
  ByteOrder send_byte_order = NativeByteOrder();

  static RuntimeOptions FromEnvironment();
};

}  // namespace NetObj
