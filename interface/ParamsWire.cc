#include "interface/ParamsWire.h"

#include <variant>

#include "interface/StubCall.h"

namespace FractalNetObj::StubSupport {

namespace {

int32_t GetField(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  return static_cast<int32_t>(NetObj::GetInteger(c, rep, kLowest, kHighest));
}

// A null reference may arrive as any alternative of Ref; anything non-null must be an R.
template <class R>
R Narrow(const NetObj::Ref& ref) {
  if (std::holds_alternative<std::nullptr_t>(ref)) return nullptr;
  const R* value = std::get_if<R>(&ref);
  if (value != nullptr) return *value;
  bool isNull = std::visit([](const auto& other) { return other == nullptr; }, ref);
  if (!isNull) NetObj::FailBadData();
  return nullptr;
}

}  // namespace

void PutFractalParams(NetObj::CallConnection& c, const FractalParams& f) {
  NetObj::PutRef(c, f.type);
  NetObj::PutInteger(c, f.sx);
  NetObj::PutInteger(c, f.sy);
  NetObj::PutReal(c, f.xmin);
  NetObj::PutReal(c, f.xmax);
  NetObj::PutReal(c, f.ymin);
  NetObj::PutReal(c, f.ymax);
  NetObj::PutInteger(c, f.maxiter);
}

FractalParams GetFractalParams(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  FractalParams f;
  // The field is read as a reference of any type and narrowed here, so the one check that
  // decides is ours and does not depend on what the runtime refuses on its own.
  f.type = Narrow<NetObj::Text>(NetObj::GetRef(c, rep, NetObj::TypeCode::Any()));
  f.sx = GetField(c, rep);
  f.sy = GetField(c, rep);
  f.xmin = NetObj::GetReal(c, rep);
  f.xmax = NetObj::GetReal(c, rep);
  f.ymin = NetObj::GetReal(c, rep);
  f.ymax = NetObj::GetReal(c, rep);
  f.maxiter = GetField(c, rep);
  return f;
}

PixMap GetPixMap(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  return Narrow<PixMap>(NetObj::GetRef(c, rep, NetObj::TypeCode::OfInt32Array()));
}

std::shared_ptr<Fractal> GetFractal(NetObj::CallConnection& c, NetObj::DataFormat rep) {
  auto object = Narrow<std::shared_ptr<NetObj::T>>(
      NetObj::GetRef(c, rep, NetObj::TypeCode::OfObject<Fractal>()));
  if (object == nullptr) return nullptr;
  auto fractal = std::dynamic_pointer_cast<Fractal>(object);
  if (fractal == nullptr) NetObj::FailBadData();
  return fractal;
}

}  // namespace FractalNetObj::StubSupport
