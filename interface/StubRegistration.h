// The stub units' one way into the runtime's stub table. It has C linkage, so that its symbol is
// a plain name: a test wraps it at link time (--wrap=FractalNetObjRegisterStubs) to count every
// registration on its way to the runtime, whatever the runtime's own function is called. It
// lives in a unit of its own, because the linker wraps only references between units.
//
// Ownership: none; the arguments are passed on as they are. Thread safety: as
// NetObj::RegisterStubs; called from the stub units' static initialisers.
#pragma once

#include <cstdint>
#include <string_view>

#include "netobj/NetObj.h"

extern "C" void FractalNetObjRegisterStubs(std::string_view remoteType, int32_t stubProt,
                                           NetObj::SurrogateFactory makeSurrogate,
                                           NetObj::Dispatcher dispatch);
