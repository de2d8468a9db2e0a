#include "interface/StubsFractal.h"

#include "interface/ParamsWire.h"
#include "interface/StubCall.h"
#include "interface/StubRegistration.h"

namespace FractalNetObj::StubsFractal {

using StubSupport::ConvertingFailures;
using StubSupport::ExpectReplyOk;
using StubSupport::kHighest;
using StubSupport::kLowest;
using StubSupport::kStubProtocol;
using StubSupport::OpenedCall;

FractalParams Surrogate_FractalNetObj_Fractal::getFractalParameters() {
  return Surrogate_getFractalParameters(*this);
}

FractalParams Surrogate_getFractalParameters(Surrogate_FractalNetObj_Fractal& self) {
  return ConvertingFailures([&] {
    OpenedCall call(self, kStubProtocol);
    NetObj::CallConnection& c = call.connection();
    NetObj::PutInt32(c, static_cast<int32_t>(Methods::getFractalParameters));
    NetObj::DataFormat rep = NetObj::WaitForReply(c);
    ExpectReplyOk(c, rep);
    FractalParams res = StubSupport::GetFractalParams(c, rep);
    call.Finish();
    return res;
  });
}

void Stub_getFractalParameters(Fractal& self, NetObj::CallConnection& c, NetObj::DataFormat) {
  FractalParams res = self.getFractalParameters();
  NetObj::BeginReply(c);
  NetObj::PutInt32(c, static_cast<int32_t>(ReturnCodes::OK));
  StubSupport::PutFractalParams(c, res);
}

namespace {

std::shared_ptr<NetObj::T> MakeSurrogate() {
  return std::make_shared<Surrogate_FractalNetObj_Fractal>();
}

void Invoke(NetObj::CallConnection& c, NetObj::T& obj, NetObj::DataFormat rep, int32_t stubProt) {
  Fractal* self = dynamic_cast<Fractal*>(&obj);
  if (self == nullptr) NetObj::FailBadData();
  if (stubProt != kStubProtocol) NetObj::FailBadData();
  switch (static_cast<Methods>(NetObj::GetInt32(c, rep, kLowest, kHighest))) {
    case Methods::getFractalParameters:
      return Stub_getFractalParameters(*self, c, rep);
  }
  NetObj::FailBadData();
}

const bool registered =
    (FractalNetObjRegisterStubs(Fractal::kTypeName, kStubProtocol, MakeSurrogate, Invoke), true);

}  // namespace

}  // namespace FractalNetObj::StubsFractal

// Named by the linker option that fractal_interface carries, so that every program linking it
// pulls this unit (and its registration) out of the stub archive exactly once.
extern "C" void FractalNetObjStubsFractal_Linked() {}
