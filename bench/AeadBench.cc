// AES-128-GCM sealing as the keyed record layer runs it, against OpenSSL's EVP in the same run,
// alternating rounds, at the sizes a call's records have (a null call's 40 and 64 bytes), at
// the crossover and at a row's. Prints per size the time of each implementation and, last,
// "aead: <EVP time / chosen time>" at the null call's request size.
//
//   aead_bench [messages-per-round [rounds]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "netobj/Aead.h"

namespace {

using namespace NetObj;
using Clock = std::chrono::steady_clock;

double SealRound(Aead& a, std::size_t length, int messages) {
  std::vector<uint8_t> in(length, 0x5a), out(length);
  uint8_t nonce[Aead::kNonceSize] = {}, aad[4] = {}, tag[Aead::kTagSize];
  auto t0 = Clock::now();
  for (int i = 0; i < messages; ++i) {
    nonce[Aead::kNonceSize - 1] = static_cast<uint8_t>(i);
    a.Seal(Aead::Nonce(nonce, Aead::kNonceSize), aad, in, out.data(),
           std::span<uint8_t, Aead::kTagSize>(tag, Aead::kTagSize));
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / messages;
}

}  // namespace

int main(int argc, char** argv) {
  int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (messages < 1 || rounds < 1 || argc > 3) {
    std::fprintf(stderr, "usage: aead_bench [messages-per-round [rounds]]\n");
    return 2;
  }
  const uint8_t key[Aead::kKeySize] = {1, 2, 3};
  struct Candidate {
    const char* name;
    std::unique_ptr<Aead> aead;
  } candidates[] = {
      {"evp", MakeEvpAes128Gcm(Aead::Key(key, Aead::kKeySize))},
      {"native", MakeNativeAes128Gcm(Aead::Key(key, Aead::kKeySize))},
      {"chosen", MakeAes128Gcm(Aead::Key(key, Aead::kKeySize))},
  };
  double request_ratio = 0;
  for (std::size_t length : {40, 64, 256, 1280, 6400}) {
    double best[3] = {1e18, 1e18, 1e18};
    for (int r = 0; r < rounds; ++r)
      for (int c = 0; c < 3; ++c)
        if (candidates[c].aead)
          best[c] = std::min(best[c], SealRound(*candidates[c].aead, length, messages));
    if (candidates[1].aead)
      std::printf("%5zu bytes: evp %.1f ns, native %.1f ns, chosen %.1f ns\n", length, best[0],
                  best[1], best[2]);
    else
      std::printf("%5zu bytes: evp %.1f ns, chosen %.1f ns (no AES-NI)\n", length, best[0],
                  best[2]);
    if (length == 40) request_ratio = best[0] / best[2];
  }
  std::printf("aead: %.2f\n", request_ratio);
  return 0;
}
