// libFuzzer entry for the serving side's first bytes (built with -DNETOBJ_FUZZ=ON and clang).
#include <cstddef>
#include <cstdint>

#include "netobj/fuzz/HandshakeInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NetObj::HandshakeInput({data, size});
  return 0;
}
