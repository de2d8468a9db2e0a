// The stub unit for FractalNetObj.T at stub protocol 1. On the calling side (the client) every
// method of a Surrogate_FractalNetObj_T becomes one request to the owner and one reply; on the
// serving side (the server) the unit's dispatcher reads a request, calls the local object and
// writes the reply. The unit registers itself with the runtime once, during static
// initialisation, before any main body runs.
//
// Ownership: a surrogate is made only by the runtime and belongs to whoever holds it. Values
// received in a call (texts, pixmaps, work units) belong to the receiver.
//
// Thread safety: the unit has no shared mutable state; surrogate methods and handlers may run
// on several threads at once, each call on its own connection.
#pragma once

#include <cstdint>
#include <memory>

#include "interface/FractalNetObj.h"

namespace FractalNetObj::StubsT {

// The first value of every request. The codes run opposite to the order of the method table.
enum class Methods : int32_t { returnResults = 0, requestFractal = 1 };
// The first value of every reply.
enum class ReturnCodes : int32_t { OK = 0 };

// Stands for a FractalNetObj.T owned by another process.
class Surrogate_FractalNetObj_T : public T {
 public:
  std::shared_ptr<Fractal> requestFractal() override;
  void returnResults(FractalParams f, PixMap pixmap) override;
};

// Calling side. Raise NetObj::Error and Thread::Alerted.
std::shared_ptr<Fractal> Surrogate_requestFractal(Surrogate_FractalNetObj_T& self);
void Surrogate_returnResults(Surrogate_FractalNetObj_T& self, const FractalParams& f,
                             const PixMap& pixmap);

// Serving side: one handler per method, called after the method code was read. Each reads the
// whole request, calls the method and only then begins the reply, so an exception from the
// method leaves with no reply begun. Raise NetObj::Error, Rd::Failure, Wr::Failure,
// Thread::Alerted.
void Stub_requestFractal(T& self, NetObj::CallConnection& c, NetObj::DataFormat rep);
void Stub_returnResults(T& self, NetObj::CallConnection& c, NetObj::DataFormat rep);

}  // namespace FractalNetObj::StubsT
