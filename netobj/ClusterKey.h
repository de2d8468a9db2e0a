// The cluster key: the secret every host of one picture holds, from which each connection's TLS
// pre-shared key is derived. A program reads it once at start: from the file NETOBJ_KEY_FILE
// names, or else from the system path the package's services use (kSystemKeyPath) when that
// exists. With neither, the runtime is in protected mode and serves only its own host.
//
// A key file is refused, with the reason, when it is not a regular file, when others may read or
// write it (its group may read it: the package's `netobj` group), or when it holds fewer than
// kMinKeyBytes. A refused key is not silently dropped: the runtime then makes and accepts no
// connection, so a mistake is never a quiet fall-back to protected mode.
//
// Implemented in ClusterKey.cc. Values only; thread-safe as values are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace NetObj {

inline constexpr const char* kKeyFileVariable = "NETOBJ_KEY_FILE";
inline constexpr const char* kSystemKeyPath = "/etc/netobj/cluster.key";
inline constexpr std::size_t kMinKeyBytes = 32;
inline constexpr std::size_t kMaxKeyBytes = 4096;
// What `netobj-agent --new-key` writes.
inline constexpr std::size_t kNewKeyBytes = 32;

struct ClusterKey {
  std::vector<uint8_t> secret;
  // Where it came from, as a refusal names it: the variable or the system path.
  std::string source;
};

// What a runtime starts with: a key, no key (protected mode), or a key file it refused.
struct KeySetting {
  std::optional<ClusterKey> key;
  std::string refused;  // not empty: why the key file was refused

  bool protected_mode() const { return !key && refused.empty(); }
};

// Reads `path`; throws NetObj::Error whose one atom says why the file is refused.
ClusterKey ReadKeyFile(const std::string& path, const std::string& source);
// NETOBJ_KEY_FILE when set and not empty, else the system path when it exists, else no key.
KeySetting KeyFromEnvironment();
// Writes kNewKeyBytes random bytes to a new file of mode 0600; never replaces an existing one.
// Throws NetObj::Error saying why it could not.
void WriteNewKeyFile(const std::string& path);

}  // namespace NetObj
