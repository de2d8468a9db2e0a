#include "interface/StubRegistration.h"

extern "C" void FractalNetObjRegisterStubs(std::string_view remoteType, int32_t stubProt,
                                           NetObj::SurrogateFactory makeSurrogate,
                                           NetObj::Dispatcher dispatch) {
  NetObj::RegisterStubs(remoteType, stubProt, makeSurrogate, dispatch);
}
