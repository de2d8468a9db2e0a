// libFuzzer entry for the decoder (built with -DNETOBJ_FUZZ=ON and clang).
#include <cstddef>
#include <cstdint>

#include "netobj/fuzz/DecodeInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NetObj::DecodeInput({data, size});
  return 0;
}
