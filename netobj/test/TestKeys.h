// Cluster keys for in-process tests, given to a runtime through RuntimeOptions::key, and the
// two settings the hostile-peer suites run under. A key is a fixed pattern per `which`: two
// runtimes given the same `which` hold one key, any other `which` is another key.
//
// Header only. Values only: thread-safe.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "netobj/ClusterKey.h"

namespace TestNetObj {

inline NetObj::KeySetting TestKey(uint8_t which, std::string source = "the test's key") {
  NetObj::ClusterKey key{std::vector<uint8_t>(NetObj::kNewKeyBytes), std::move(source)};
  for (std::size_t i = 0; i < key.secret.size(); ++i)
    key.secret[i] = static_cast<uint8_t>(which * 37 + i * 11 + 1);
  return NetObj::KeySetting{std::move(key), ""};
}

// What a keyed runtime answers a peer that sends it plain frames.
inline constexpr char kKeyHoldersOnly[] = "this host accepts only peers that hold its cluster key";

// A suite's runtimes all hold the test's key, or none does.
struct Keying {
  const char* name;
  bool keyed;
  NetObj::KeySetting Setting() const { return keyed ? TestKey(1) : NetObj::KeySetting{}; }
};

inline constexpr Keying kNoKey{"NoKey", false};
inline constexpr Keying kKeyed{"Keyed", true};

inline std::string KeyingName(const Keying& k) { return k.name; }
inline void PrintTo(const Keying& k, std::ostream* os) { *os << k.name; }

}  // namespace TestNetObj
