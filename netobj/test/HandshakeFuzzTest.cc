// The serving side's first bytes under a seeded mutation run: real first flights of a caller
// with the key, cut, flipped, spliced and replaced, never escape the serving channel and never
// reach the message layer as a frame.
#include <gtest/gtest.h>

#include <random>

#include "netobj/fuzz/HandshakeInput.h"

namespace {

using namespace NetObj;

TEST(ServingHandshake, MutatedFirstFlightsNeverEscapeNorBecomeAFrame) {
  std::vector<uint8_t> hello = ClientHelloForFuzzing();
  ASSERT_GT(hello.size(), 100u);
  ASSERT_EQ(hello[0], 0x16) << "a TLS handshake record";
  std::vector<uint8_t> whole = {0};
  whole.insert(whole.end(), hello.begin(), hello.end());
  // Unchanged, the hello is answered and the handshake waits for the caller's Finished until
  // the peer's end closes.
  EXPECT_EQ(HandshakeInput(whole), HandshakeOutcome::kEnded);

  std::mt19937 rng(20261210);
  auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> in = whole;
    in[0] = static_cast<uint8_t>(rng());
    switch (i % 5) {
      case 0:  // flipped bytes
        for (int k = 0; k < 1 + i % 7; ++k)
          in[1 + pick(in.size() - 1)] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      case 1:  // cut short
        in.resize(1 + pick(in.size() - 1));
        break;
      case 2:  // a record length that lies
        in[4] = static_cast<uint8_t>(rng()), in[5] = static_cast<uint8_t>(rng());
        break;
      case 3:  // the hello twice, the second one damaged
        in.insert(in.end(), hello.begin(), hello.end());
        in[1 + hello.size() + pick(hello.size())] ^= 0x5a;
        break;
      default:  // noise, sometimes behind a handshake record's first byte
        in.resize(1 + pick(600));
        for (std::size_t k = 1; k < in.size(); ++k) in[k] = static_cast<uint8_t>(rng());
        if (in.size() > 1 && i % 2 == 0) in[1] = 0x16;
        break;
    }
    HandshakeOutcome outcome{};
    ASSERT_NO_THROW(outcome = HandshakeInput(in)) << "case " << i;
    ASSERT_NE(outcome, HandshakeOutcome::kFrame) << "case " << i;
  }
}

}  // namespace
