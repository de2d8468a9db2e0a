// The runtime's value types: failures, arrays, the base remote object, type checks.
#include <stdexcept>

#include "netobj/NetObj.h"

namespace NetObj {

namespace {
std::string JoinAtoms(const AtomList& atoms) {
  std::string out = "NetObj.Error";
  for (const auto& a : atoms) {
    out += out.size() == 12 ? ": " : ", ";
    out += a;
  }
  return out;
}
}  // namespace

Error::Error(AtomList atoms) : atoms_(std::move(atoms)), what_(JoinAtoms(atoms_)) {}

Int32Array2D::Int32Array2D(int32_t nx, int32_t ny) : nx_(nx), ny_(ny) {
  if (nx < 0 || ny < 0) throw std::invalid_argument("negative array extent");
  elems_ = std::make_unique<int32_t[]>(size());
}

T::~T() = default;

std::span<const std::string_view> T::RemoteTypes() const {
  static constexpr std::string_view kTypes[] = {"NetObj.T"};
  return kTypes;
}

bool TypeCode::Accepts(const Ref& ref) const {
  struct Visitor {
    const TypeCode& code;
    bool operator()(std::nullptr_t) const { return true; }
    bool operator()(const std::shared_ptr<T>& o) const {
      if (!o) return true;
      return code.kind_ == Kind::kAny || (code.kind_ == Kind::kObject && code.is_instance_(*o));
    }
    bool operator()(const Text& t) const {
      return !t || code.kind_ == Kind::kAny || code.kind_ == Kind::kText;
    }
    bool operator()(const Int32Array& a) const {
      return !a || code.kind_ == Kind::kAny || code.kind_ == Kind::kInt32Array;
    }
  };
  return std::visit(Visitor{*this}, ref);
}

}  // namespace NetObj
