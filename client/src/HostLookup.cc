#include "client/src/HostLookup.h"

#include <netdb.h>
#include <sys/socket.h>

namespace Client {

bool ResolvesByResult(int rc) {
  switch (rc) {
    case 0:
      return true;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return false;
    default:
      throw LookupError(gai_strerror(rc));
  }
}

bool HostResolves(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc == 0) freeaddrinfo(found);
  return ResolvesByResult(rc);
}

}  // namespace Client
