#include "interface/StubsT.h"

#include "interface/ParamsWire.h"
#include "interface/StubCall.h"
#include "interface/StubRegistration.h"

namespace FractalNetObj::StubsT {

using StubSupport::ConvertingFailures;
using StubSupport::ExpectReplyOk;
using StubSupport::kHighest;
using StubSupport::kLowest;
using StubSupport::kStubProtocol;
using StubSupport::OpenedCall;

std::shared_ptr<Fractal> Surrogate_FractalNetObj_T::requestFractal() {
  return Surrogate_requestFractal(*this);
}

void Surrogate_FractalNetObj_T::returnResults(FractalParams f, PixMap pixmap) {
  Surrogate_returnResults(*this, f, pixmap);
}

std::shared_ptr<Fractal> Surrogate_requestFractal(Surrogate_FractalNetObj_T& self) {
  return ConvertingFailures([&] {
    OpenedCall call(self, kStubProtocol);
    NetObj::CallConnection& c = call.connection();
    NetObj::PutInt32(c, static_cast<int32_t>(Methods::requestFractal));
    NetObj::DataFormat rep = NetObj::WaitForReply(c);
    ExpectReplyOk(c, rep);
    std::shared_ptr<Fractal> res = StubSupport::GetFractal(c, rep);
    call.Finish();
    return res;
  });
}

void Surrogate_returnResults(Surrogate_FractalNetObj_T& self, const FractalParams& f,
                             const PixMap& pixmap) {
  ConvertingFailures([&] {
    OpenedCall call(self, kStubProtocol);
    NetObj::CallConnection& c = call.connection();
    NetObj::PutInt32(c, static_cast<int32_t>(Methods::returnResults));
    // This side always sends the record; the flag exists for peers that may omit it.
    const bool dataPresent = true;
    NetObj::PutBoolean(c, dataPresent);
    StubSupport::PutFractalParams(c, f);
    NetObj::PutRef(c, pixmap);
    NetObj::DataFormat rep = NetObj::WaitForReply(c);
    ExpectReplyOk(c, rep);
    call.Finish();
  });
}

void Stub_requestFractal(T& self, NetObj::CallConnection& c, NetObj::DataFormat) {
  std::shared_ptr<Fractal> res = self.requestFractal();
  NetObj::BeginReply(c);
  NetObj::PutInt32(c, static_cast<int32_t>(ReturnCodes::OK));
  NetObj::PutRef(c, std::shared_ptr<NetObj::T>(res));
}

void Stub_returnResults(T& self, NetObj::CallConnection& c, NetObj::DataFormat rep) {
  // A request without the record stands for the zero record; its pixmap follows all the same.
  FractalParams f;
  if (NetObj::GetBoolean(c)) f = StubSupport::GetFractalParams(c, rep);
  PixMap pixmap = StubSupport::GetPixMap(c, rep);
  self.returnResults(std::move(f), std::move(pixmap));
  NetObj::BeginReply(c);
  NetObj::PutInt32(c, static_cast<int32_t>(ReturnCodes::OK));
}

namespace {

std::shared_ptr<NetObj::T> MakeSurrogate() { return std::make_shared<Surrogate_FractalNetObj_T>(); }

void Invoke(NetObj::CallConnection& c, NetObj::T& obj, NetObj::DataFormat rep, int32_t stubProt) {
  T* self = dynamic_cast<T*>(&obj);
  if (self == nullptr) NetObj::FailBadData();
  if (stubProt != kStubProtocol) NetObj::FailBadData();
  switch (static_cast<Methods>(NetObj::GetInt32(c, rep, kLowest, kHighest))) {
    case Methods::returnResults:
      return Stub_returnResults(*self, c, rep);
    case Methods::requestFractal:
      return Stub_requestFractal(*self, c, rep);
  }
  NetObj::FailBadData();
}

const bool registered =
    (FractalNetObjRegisterStubs(T::kTypeName, kStubProtocol, MakeSurrogate, Invoke), true);

}  // namespace

}  // namespace FractalNetObj::StubsT

// Named by the linker option that fractal_interface carries, so that every program linking it
// pulls this unit (and its registration) out of the stub archive exactly once.
extern "C" void FractalNetObjStubsT_Linked() {}
