// Failures and arrays.
#include <stdexcept>

#include "netobj/wire/Values.h"

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

}  // namespace NetObj
