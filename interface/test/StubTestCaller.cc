// stub_test_caller HOST NAME: imports NAME from the agent of HOST and runs one work unit through
// the stubs, printing what it sees: the surrogate types, the unit's parameters, and whether the
// second request came back null. Exit status 0 when every call returned, 1 on NetObj::Error,
// 2 on bad usage or a name that is not exported.
#include <cstdio>

#include "interface/StubsFractal.h"
#include "interface/StubsT.h"
#include "interface/test/ParamsText.h"

namespace {

template <class Surrogate>
const char* Kind(const std::shared_ptr<NetObj::T>& o) {
  if (!o) return "null";
  return dynamic_cast<Surrogate*>(o.get()) != nullptr ? "surrogate" : "other";
}

int RunOneUnit(const char* host, const char* name) {
  NetObj::AgentHandle agent = NetObj::LocateAgent(host);
  auto imported = std::dynamic_pointer_cast<FractalNetObj::T>(NetObj::ImportObject(name, agent));
  if (!imported) {
    std::printf("not exported: %s\n", name);
    return 2;
  }
  std::printf("server=%s\n", Kind<FractalNetObj::StubsT::Surrogate_FractalNetObj_T>(imported));
  std::shared_ptr<FractalNetObj::Fractal> unit = imported->requestFractal();
  std::printf("unit=%s\n",
              Kind<FractalNetObj::StubsFractal::Surrogate_FractalNetObj_Fractal>(unit));
  if (!unit) return 1;
  FractalNetObj::FractalParams f = unit->getFractalParameters();
  std::printf("params %s\n", StubSystemTest::ParamsText(f).c_str());
  imported->returnResults(f, StubSystemTest::ReturnedPixMap());
  std::printf("returned %s\n",
              StubSystemTest::PixMapText(StubSystemTest::ReturnedPixMap()).c_str());
  std::printf("second=%s\n", imported->requestFractal() ? "unit" : "null");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stub_test_caller HOST NAME\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // what was seen survives a caller that is killed
  try {
    return RunOneUnit(argv[1], argv[2]);
  } catch (const NetObj::Error& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
}
