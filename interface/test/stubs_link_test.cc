// A program that reaches fractal_interface directly and through two libraries must still run
// each stub unit's registration exactly once: the linker wraps the units' registration hook
// here, counts every registration on its way to the runtime, and the test reads the counts after
// start-up.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

#include "interface/FractalNetObj.h"
#include "interface/StubRegistration.h"
#include "interface/test/LinkProbe.h"

namespace {

struct Seen {
  int count = 0;
  int32_t stubProt = 0;
};

std::map<std::string, Seen, std::less<>>& Registrations() {
  // Filled from static initialisers of other units, so built on first use.
  static std::map<std::string, Seen, std::less<>> seen;
  return seen;
}

}  // namespace

// The linker sends the stub units' calls of FractalNetObjRegisterStubs here (--wrap, set in
// CMake), and this unit's calls of the __real_ name on to the hook itself.
extern "C" void RealRegisterStubs(std::string_view, int32_t, NetObj::SurrogateFactory,
                                  NetObj::Dispatcher) __asm__("__real_FractalNetObjRegisterStubs");
extern "C" void CountingRegisterStubs(
    std::string_view, int32_t, NetObj::SurrogateFactory,
    NetObj::Dispatcher) __asm__("__wrap_FractalNetObjRegisterStubs");

extern "C" void CountingRegisterStubs(std::string_view remoteType, int32_t stubProt,
                                      NetObj::SurrogateFactory makeSurrogate,
                                      NetObj::Dispatcher dispatch) {
  Seen& s = Registrations()[std::string(remoteType)];
  ++s.count;
  s.stubProt = stubProt;
  RealRegisterStubs(remoteType, stubProt, makeSurrogate, dispatch);
}

namespace {

TEST(StubLinking, EachUnitRegistersExactlyOnceThoughReachedThreeWays) {
  // Keep both libraries in the program.
  ASSERT_EQ(LinkProbe::LibraryA() + LinkProbe::LibraryB(), 3);
  for (std::string_view type : {FractalNetObj::T::kTypeName, FractalNetObj::Fractal::kTypeName}) {
    SCOPED_TRACE(std::string(type));
    auto it = Registrations().find(type);
    ASSERT_NE(it, Registrations().end()) << "never registered through FractalNetObjRegisterStubs";
    EXPECT_EQ(it->second.count, 1);
    EXPECT_EQ(it->second.stubProt, 1);
  }
}

}  // namespace
