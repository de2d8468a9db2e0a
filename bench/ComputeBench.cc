// Iterations per second of Compute against the x87 reference on one core, in the same run, on
// the default view at maxiter 96 and on a deep view at maxiter 2000, both as the rows the
// server hands out. Prints each view's figures and, last, "compute: <ratio>" with the lower of
// the two ratios of the widest vector unit against the reference. Also shows AVX2 where the
// widest set is AVX-512, for information.
//
// Iterations are counted once per view from the counts themselves, the same figure for every
// variant: a value above 1 is its own count; a value of 1 is one iteration when |c|^2 > 4 (the
// first step gives z = c) and maxiter otherwise.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/src/Compute.h"
#include "client/src/ComputeIsa.h"

namespace {

using Clock = std::chrono::steady_clock;
using FractalNetObj::FractalParams;
using Extended = long double;

struct View {
  std::string name;
  float xmin, xmax, ymin, ymax;
  int32_t sx, sy, maxiter;
};

// The rows of a view as the server makes them: row r at ymin + r * (ymax - ymin) / sy,
// evaluated in extended precision.
std::vector<FractalParams> Rows(const View& v) {
  std::vector<FractalParams> rows;
  const Extended step = (Extended{v.ymax} - Extended{v.ymin}) / static_cast<Extended>(v.sy);
  for (int32_t r = 0; r < v.sy; ++r) {
    FractalParams f;
    f.sx = v.sx;
    f.sy = 1;
    f.xmin = v.xmin;
    f.xmax = v.xmax;
    f.ymin = f.ymax = static_cast<float>(Extended{v.ymin} + static_cast<Extended>(r) * step);
    f.maxiter = v.maxiter;
    rows.push_back(f);
  }
  return rows;
}

uint64_t Iterations(const FractalParams& f, const FractalNetObj::PixMap& pixmap) {
  const Extended dx = (Extended{f.xmax} - Extended{f.xmin}) / static_cast<Extended>(f.sx);
  float x = f.xmin;
  uint64_t total = 0;
  for (int32_t px = 0; px < f.sx; ++px) {
    const int32_t value = pixmap->at(px, 0);
    if (value != 1) {
      total += static_cast<uint64_t>(value);
    } else {
      const Extended m2 = Extended{x} * x + Extended{f.ymin} * f.ymin;
      total += m2 > 4 ? 1u : static_cast<uint64_t>(f.maxiter);
    }
    x = static_cast<float>(Extended{x} + static_cast<Extended>(static_cast<float>(dx)));
  }
  return total;
}

// Seconds for one pass over every row; adds the first and last value of each row to *checksum.
double PassSeconds(Client::ComputeIsa isa, const std::vector<FractalParams>& rows,
                   uint64_t* checksum) {
  uint64_t sum = 0;
  const auto start = Clock::now();
  for (const FractalParams& f : rows) {
    const auto pixmap = Client::ComputeWith(isa, f, nullptr);
    sum += static_cast<uint64_t>(pixmap->data()[0]) + pixmap->data()[f.sx - 1];
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *checksum = sum;
  return seconds;
}

// The ratio of the reference's time to the widest set's, each the fastest of its passes; the
// passes of all sets alternate, so that a change in the machine's load hits them alike.
double RunView(const View& v, int rounds) {
  const std::vector<FractalParams> rows = Rows(v);
  uint64_t iterations = 0;
  for (const FractalParams& f : rows) {
    iterations += Iterations(f, Client::ComputeWith(Client::ComputeIsa::kReference, f, nullptr));
  }
  std::printf("%s: %d x %d at maxiter %d, %llu iterations\n", v.name.c_str(), v.sx, v.sy, v.maxiter,
              static_cast<unsigned long long>(iterations));
  std::vector<Client::ComputeIsa> isas = {Client::ComputeIsa::kReference};
  for (Client::ComputeIsa isa : {Client::ComputeIsa::kAvx2, Client::ComputeIsa::kAvx512}) {
    if (Client::IsaAvailable(isa)) isas.push_back(isa);
  }
  std::vector<double> best(isas.size(), 1e300);
  uint64_t reference_sum = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < isas.size(); ++i) {
      // The vector sets are quick; more passes of them cost little and steady their figure.
      const int passes = i == 0 ? 1 : 4;
      for (int p = 0; p < passes; ++p) {
        uint64_t sum = 0;
        best[i] = std::min(best[i], PassSeconds(isas[i], rows, &sum));
        if (i == 0) reference_sum = sum;
        if (sum != reference_sum) {
          std::fprintf(stderr, "%s gives other counts than the reference\n",
                       Client::IsaName(isas[i]));
          std::exit(1);
        }
      }
    }
  }
  double ratio = 0;
  for (std::size_t i = 0; i < isas.size(); ++i) {
    std::printf("  %-9s %8.2f ms  %8.1f M iterations/s", Client::IsaName(isas[i]), best[i] * 1e3,
                static_cast<double>(iterations) / best[i] / 1e6);
    if (i > 0) std::printf("  ratio %.2f", best[0] / best[i]);
    std::printf("\n");
    if (isas[i] == Client::BestIsa()) ratio = best[0] / best[i];
  }
  return ratio;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (Client::BestIsa() == Client::ComputeIsa::kReference) {
    std::printf("no vector unit: Compute is the reference\ncompute: 1.00\n");
    return 0;
  }
  const View standard{"default view", -2.5f, 1.25f, -1.25f, 1.25f, 320, 240, 96};
  // Around a boundary point in the valley between the main cardioid and the period-2 bulb, at
  // a column step of about two float steps of the coordinates there.
  const View deep{"deep view", -0.7436500f, -0.7436180f, 0.1318140f, 0.1318380f, 320, 240, 2000};
  const double r1 = RunView(standard, rounds);
  const double r2 = RunView(deep, rounds);
  std::printf("ratios: default view %.2f, deep view %.2f\n", r1, r2);
  std::printf("compute: %.2f\n", std::min(r1, r2));
  return 0;
}
