// The client's start-up check of the server's host name: does the name resolve?
//
// Only an answer about the name is a "no": the name service said it has no such name, or no
// address for it. A lookup that got no answer (no name server reachable, EAI_AGAIN), one the
// name service could not complete (EAI_FAIL), or a failure of the machinery (memory, a system
// error, flags the library refuses) says nothing about whether the name exists; telling the user
// that there is no such host would send them to check the name when it is the lookup that
// failed. Those are raised as LookupError.
//
// Stateless; safe on any thread.
#pragma once

#include <stdexcept>
#include <string>

namespace Client {

class LookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a getaddrinfo result code says: true when addresses were found, false when the name has
// none; a LookupError for every code that is no answer about the name.
bool ResolvesByResult(int rc);

// Looks `host` up (any address family, stream sockets) and answers as ResolvesByResult.
bool HostResolves(const std::string& host);

}  // namespace Client
