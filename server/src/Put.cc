#include "server/src/Put.h"

#include <cstdio>

namespace Server {

void Put(std::string_view t) {
  std::fwrite(t.data(), 1, t.size(), stdout);
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace Server
