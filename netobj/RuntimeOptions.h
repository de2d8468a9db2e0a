// What a runtime instance is configured with. Defaults suit a program; FromEnvironment reads
// NETOBJ_PORT (the port a process that owns objects listens on; ephemeral when unset) and
// NETOBJ_AGENT_PORT (the port of every host's agent; 7917 when unset) and the cluster key
// (NETOBJ_KEY_FILE, else the system key file).
//
// Header only, but for FromEnvironment, in Runtime.cc.
#pragma once

#include <chrono>
#include <cstdint>

#include "netobj/ClusterKey.h"
#include "netobj/wire/WireFormat.h"

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
  // At most this many connections are open at once on the serving side: one more closes the
  // connection idle longest (or the one whose request has been arriving longest); when every
  // one is serving a call or carries a lease, the newcomer is answered "server busy" and closed.
  // Lowered to what the process's descriptor limit allows.
  int max_serving_connections = 1024;
  // A request must arrive whole within this time from its first byte (plus one second per MiB
  // it announces); a slower one is answered "request too slow" and its connection closed.
  std::chrono::milliseconds request_deadline{5000};
  // Leases: a holder renews every lease_renewal; an owner drops the holdings of a holder not
  // heard from for lease_period (at once when its lease connection closes). The release of a
  // dead surrogate rides on the holder's next call to the owner; releases that no call took
  // leave on the lease connection release_delay after the first of their batch. A client that
  // drops a work unit per call thus keeps the server's table at a unit or two, and sends no
  // message for it.
  std::chrono::milliseconds lease_renewal{2000};
  std::chrono::milliseconds lease_period{8000};
  std::chrono::milliseconds release_delay{100};
  // How often an owner asks the agents it exported to whether they are still the run that took
  // the export; a restarted agent gets the exports again within this time of its return.
  std::chrono::milliseconds agent_check{1000};
  // The cluster key, read once at start (ClusterKey.h): none puts the runtime in protected mode.
  KeySetting key;
  // Test hook: the byte order this runtime writes its messages in.
  ByteOrder send_byte_order = NativeByteOrder();

  static RuntimeOptions FromEnvironment();
};

}  // namespace NetObj
