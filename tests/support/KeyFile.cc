// Making and removing a test's key file.
#include "tests/support/KeyFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace test_support {

KeyFile::KeyFile(std::size_t bytes, mode_t mode) {
  char dir[] = "/tmp/netobj-key-XXXXXX";
  if (::mkdtemp(dir) == nullptr) throw std::runtime_error("KeyFile: mkdtemp failed");
  dir_ = dir;
  path_ = dir_ + "/cluster.key";
  std::vector<unsigned char> secret(bytes);
  for (std::size_t have = 0; have < bytes;) {
    ssize_t n = ::getrandom(secret.data() + have, bytes - have, 0);
    if (n <= 0) throw std::runtime_error("KeyFile: getrandom failed");
    have += static_cast<std::size_t>(n);
  }
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::write(fd, secret.data(), bytes) == static_cast<ssize_t>(bytes) &&
            ::fchmod(fd, mode) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) throw std::runtime_error("KeyFile: cannot write " + path_);
}

KeyFile::~KeyFile() {
  ::unlink(path_.c_str());
  ::rmdir(dir_.c_str());
}

}  // namespace test_support
