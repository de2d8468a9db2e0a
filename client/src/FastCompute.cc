// Compute on the widest vector unit the processor has; the reference where it has none.
#include <cfloat>
#include <memory>
#include <stdexcept>

#include "client/src/Compute.h"
#include "client/src/ComputeIsa.h"
#include "client/src/Kernels.h"
#include "client/src/PointSource.h"

namespace Client {

// The point source walks the grid with plain float additions; that needs float expressions
// evaluated in float, as SSE does.
static_assert(FLT_EVAL_METHOD == 0, "float additions must round to float");

namespace {

bool HasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
}

bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace

bool IsaAvailable(ComputeIsa isa) {
  switch (isa) {
    case ComputeIsa::kReference:
      return true;
    case ComputeIsa::kAvx2:
      return HasAvx2();
    case ComputeIsa::kAvx512:
      return HasAvx512();
  }
  return false;
}

ComputeIsa BestIsa() {
  static const ComputeIsa best = IsaAvailable(ComputeIsa::kAvx512) ? ComputeIsa::kAvx512
                                 : IsaAvailable(ComputeIsa::kAvx2) ? ComputeIsa::kAvx2
                                                                   : ComputeIsa::kReference;
  return best;
}

const char* IsaName(ComputeIsa isa) {
  switch (isa) {
    case ComputeIsa::kReference:
      return "reference";
    case ComputeIsa::kAvx2:
      return "avx2";
    case ComputeIsa::kAvx512:
      return "avx512";
  }
  return "unknown";
}

FractalNetObj::PixMap ComputeWith(ComputeIsa isa, const FractalNetObj::FractalParams& f,
                                  HandOverCounts* counts) {
  if (!IsaAvailable(isa)) {
    throw std::invalid_argument(std::string("this processor lacks ") + IsaName(isa));
  }
  // A limit below 2 makes every point a single reference iteration; the lanes need room for
  // one step before the limit.
  if (isa == ComputeIsa::kReference || f.maxiter < 2) {
    if (counts != nullptr && f.sx > 0 && f.sy > 0) {
      counts->reference_points += static_cast<uint64_t>(f.sx) * static_cast<uint64_t>(f.sy);
    }
    return ComputeReference(f);
  }
  auto pixmap = std::make_shared<NetObj::Int32Array2D>(f.sx, f.sy);
  HandOverCounts local;
  HandOverCounts& tally = counts != nullptr ? *counts : local;
  PointSource source(f, pixmap->data(), tally);
  if (isa == ComputeIsa::kAvx512) {
    RunAvx512(source, tally);
  } else {
    RunAvx2(source, tally);
  }
  return pixmap;
}

FractalNetObj::PixMap Compute(const FractalNetObj::FractalParams& f) {
  return ComputeWith(BestIsa(), f, nullptr);
}

}  // namespace Client
