// How a FractalParams and the references of this interface travel: the record field by field in
// declaration order (the text as a reference, the three integers through PutInteger, the four
// bounds as 32-bit floats), and the narrowing of a received reference to the one type allowed
// at its place. Shared by both stub units so the record has one layout in every message.
//
// Stateless; safe on any thread (each connection is used by one thread at a time).
#pragma once

#include <memory>

#include "interface/FractalNetObj.h"

namespace FractalNetObj::StubSupport {

// Writes the eight fields of f; no presence flag.
void PutFractalParams(NetObj::CallConnection& c, const FractalParams& f);
// Reads the eight fields written by PutFractalParams; a type that is not null or a text, or an
// integer outside 32 bits, is a NetObj::Error. The type is asked of the runtime as any
// reference and checked here.
FractalParams GetFractalParams(NetObj::CallConnection& c, NetObj::DataFormat rep);

// Reads one reference that must be null or exactly of the named kind. The runtime checks the
// type too; these check again so that no wrongly typed value can reach a method, whatever the
// peer sent. A mismatch is a NetObj::Error.
PixMap GetPixMap(NetObj::CallConnection& c, NetObj::DataFormat rep);
// A FractalNetObj.Fractal or any subtype of it.
std::shared_ptr<Fractal> GetFractal(NetObj::CallConnection& c, NetObj::DataFormat rep);

}  // namespace FractalNetObj::StubSupport
