// A cluster key file for one test: random bytes of the length asked, in a directory of its own,
// with the mode asked (0600 unless told), and the setting that hands it to a program. The
// namespaces of a test share the file system, so every host of one test can read the same key.
//
// Ownership: owns the file and its directory and removes both when it goes. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace test_support {

class KeyFile {
 public:
  explicit KeyFile(std::size_t bytes = 32, mode_t mode = 0600);
  ~KeyFile();
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;

  const std::string& path() const { return path_; }
  // "NETOBJ_KEY_FILE=<path>", for an Invocation's env.
  std::string Setting() const { return "NETOBJ_KEY_FILE=" + path_; }

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace test_support
