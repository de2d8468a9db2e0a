// The values that cross the wire and the failures of reading and writing it: shared by every
// layer of the runtime, from the byte stream up. Texts and arrays are copied on receipt, so the
// receiver owns its copy.
//
// Implemented in Values.cc. Thread safety: values are not synchronised; whoever shares one guards
// it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace NetObj {

// The argument of a failure: short texts, most general first ("connection refused", ...).
using AtomList = std::vector<std::string>;

// A failed remote call, lookup, export or import.
class Error : public std::exception {
 public:
  explicit Error(AtomList atoms);
  const AtomList& atoms() const { return atoms_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  AtomList atoms_;
  std::string what_;
};

}  // namespace NetObj

namespace Rd {
// Reading from a connection failed; carries what happened. Surrogates turn it into NetObj::Error.
class Failure : public std::exception {
 public:
  explicit Failure(NetObj::AtomList atoms) : atoms_(std::move(atoms)) {}
  const NetObj::AtomList& atoms() const { return atoms_; }
  const char* what() const noexcept override { return "Rd.Failure"; }

 private:
  NetObj::AtomList atoms_;
};
}  // namespace Rd

namespace Wr {
// Writing to a connection failed; carries what happened.
class Failure : public std::exception {
 public:
  explicit Failure(NetObj::AtomList atoms) : atoms_(std::move(atoms)) {}
  const NetObj::AtomList& atoms() const { return atoms_; }
  const char* what() const noexcept override { return "Wr.Failure"; }

 private:
  NetObj::AtomList atoms_;
};
}  // namespace Wr

namespace Thread {
// A thread waiting in the runtime was woken because the runtime is shutting down.
class Alerted : public std::exception {
 public:
  const char* what() const noexcept override { return "Thread.Alerted"; }
};
}  // namespace Thread

namespace NetObj {

// An immutable text that travels by reference; null is a valid value.
using Text = std::shared_ptr<const std::string>;

// A two-dimensional array of 32-bit signed integers that carries its own extents. Element
// [i][j] is element i*ny + j of one contiguous block (the second index varies fastest). An
// extent of 0 is a valid empty array. Not synchronised: whoever shares one guards it.
class Int32Array2D {
 public:
  // Zero-filled. Throws std::invalid_argument for a negative extent, std::bad_alloc when the
  // elements cannot be allocated.
  Int32Array2D(int32_t nx, int32_t ny);

  int32_t nx() const { return nx_; }
  int32_t ny() const { return ny_; }
  std::size_t size() const { return static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_); }
  int32_t* data() { return elems_.get(); }
  const int32_t* data() const { return elems_.get(); }
  // Unchecked: the caller keeps 0 <= i < nx and 0 <= j < ny.
  int32_t& at(int32_t i, int32_t j) { return elems_[static_cast<std::size_t>(i) * ny_ + j]; }
  int32_t at(int32_t i, int32_t j) const { return elems_[static_cast<std::size_t>(i) * ny_ + j]; }

 private:
  // The descriptor's order: element storage, then the two extents.
  std::unique_ptr<int32_t[]> elems_;
  int32_t nx_;
  int32_t ny_;
};
using Int32Array = std::shared_ptr<Int32Array2D>;

// How the sender of a message encoded it (byte order, float format). Opaque to callers.
struct DataFormat {
  std::array<uint8_t, 4> bytes{};
};

}  // namespace NetObj
