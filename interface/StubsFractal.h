// The stub unit for FractalNetObj.Fractal at stub protocol 1: a work unit's one method,
// getFractalParameters, as a request from the client and a reply from the server that owns the
// unit. The reply carries the record's fields with no presence flag before them. The unit
// registers itself with the runtime once, during static initialisation.
//
// Ownership: a surrogate is made only by the runtime and belongs to whoever holds it; the
// record returned, and the text in it, belong to the caller.
//
// Thread safety: no shared mutable state; calls may run on several threads at once.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"

namespace FractalNetObj::StubsFractal {

// The first value of every request.
enum class Methods : int32_t { getFractalParameters = 0 };
// The first value of every reply.
enum class ReturnCodes : int32_t { OK = 0 };

// Stands for a work unit owned by another process.
class Surrogate_FractalNetObj_Fractal : public Fractal {
 public:
  FractalParams getFractalParameters() override;
};

// Calling side. Raises NetObj::Error and Thread::Alerted.
FractalParams Surrogate_getFractalParameters(Surrogate_FractalNetObj_Fractal& self);

// Serving side, called after the method code was read: calls the method, then writes the reply.
// Raises NetObj::Error, Rd::Failure, Wr::Failure, Thread::Alerted.
void Stub_getFractalParameters(Fractal& self, NetObj::CallConnection& c, NetObj::DataFormat rep);

}  // namespace FractalNetObj::StubsFractal
