// Which lookup results answer the start-up check and which are errors of the lookup itself.
// The real resolver is run in network namespaces by the client's system tests; this covers the
// results that no namespace produces on demand, EAI_FAIL among them.
#include <gtest/gtest.h>
#include <netdb.h>

#include <optional>

#include "client/src/HostLookup.h"

namespace {

struct ResultCase {
  const char* name;
  int rc;
  std::optional<bool> resolves;  // empty: a LookupError
};

const ResultCase kResultCases[] = {
    {"found", 0, true},
    {"no such name", EAI_NONAME, false},
    {"a name without addresses", EAI_NODATA, false},
    {"no address of any family", EAI_ADDRFAMILY, false},
    {"no name server answered", EAI_AGAIN, std::nullopt},
    {"the name service failed", EAI_FAIL, std::nullopt},
    {"out of memory", EAI_MEMORY, std::nullopt},
    {"a system error", EAI_SYSTEM, std::nullopt},
    {"a service the library refuses", EAI_SERVICE, std::nullopt},
};

TEST(HostLookupTest, OnlyAnAnswerAboutTheNameSaysItDoesNotResolve) {
  for (const ResultCase& c : kResultCases) {
    SCOPED_TRACE(c.name);
    if (c.resolves) {
      EXPECT_EQ(Client::ResolvesByResult(c.rc), *c.resolves);
    } else {
      EXPECT_THROW(Client::ResolvesByResult(c.rc), Client::LookupError);
    }
  }
}

}  // namespace
