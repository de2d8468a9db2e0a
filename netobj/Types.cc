// The base remote object and the type checks of received references.
#include "netobj/NetObj.h"

namespace NetObj {

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
