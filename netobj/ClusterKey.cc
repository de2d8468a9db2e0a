// Reading, checking and making key files.
#include "netobj/ClusterKey.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netobj/wire/Values.h"

namespace NetObj {

namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw Error({"key file " + path + " " + why});
}

std::string Mode(mode_t m) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(m & 07777));
  return text;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

ClusterKey ReadKeyFile(const std::string& path, const std::string& source) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
  if (f.fd < 0) Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) Refuse(path, "is not a regular file");
  // As ssh does for a private key: a secret others can read is no secret. The group may read it
  // so that the package's services share one file.
  if (st.st_mode & (S_IRWXO | S_IWGRP | S_IXGRP))
    Refuse(path, "may be used by others (mode " + Mode(st.st_mode) + "): chmod 600 or 640 it");
  if (st.st_size < static_cast<off_t>(kMinKeyBytes))
    Refuse(path, "is too short (" + std::to_string(st.st_size) + " bytes, at least " +
                     std::to_string(kMinKeyBytes) + ")");
  if (st.st_size > static_cast<off_t>(kMaxKeyBytes))
    Refuse(path, "is too long (" + std::to_string(st.st_size) + " bytes, at most " +
                     std::to_string(kMaxKeyBytes) + ")");
  ClusterKey key{std::vector<uint8_t>(static_cast<std::size_t>(st.st_size)), source};
  std::size_t have = 0;
  while (have < key.secret.size()) {
    ssize_t n = ::read(f.fd, key.secret.data() + have, key.secret.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
    if (n == 0) Refuse(path, "changed while it was read");
    have += static_cast<std::size_t>(n);
  }
  return key;
}

KeySetting KeyFromEnvironment() {
  KeySetting s;
  std::string path;
  std::string source;
  const char* named = std::getenv(kKeyFileVariable);
  if (named != nullptr && *named != '\0') {
    path = named;
    source = kKeyFileVariable;
  } else {
    struct stat st {};
    if (::stat(kSystemKeyPath, &st) != 0 && errno == ENOENT) return s;
    path = kSystemKeyPath;
    source = kSystemKeyPath;
  }
  try {
    s.key = ReadKeyFile(path, source);
  } catch (const Error& e) {
    s.refused = e.atoms().front();
  }
  return s;
}

void WriteNewKeyFile(const std::string& path) {
  uint8_t secret[kNewKeyBytes];
  std::size_t have = 0;
  while (have < sizeof(secret)) {
    ssize_t n = ::getrandom(secret + have, sizeof(secret) - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error({"no random bytes for a key", std::strerror(errno)});
    have += static_cast<std::size_t>(n);
  }
  Fd f{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (f.fd < 0 && errno == EEXIST) throw Error({"refusing to overwrite " + path + ": it exists"});
  if (f.fd < 0) throw Error({"cannot create " + path + ": " + std::strerror(errno)});
  bool ok = ::fchmod(f.fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < sizeof(secret);) {
    ssize_t n = ::write(f.fd, secret + done, sizeof(secret) - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  if (ok) ok = ::fsync(f.fd) == 0;
  int err = errno;
  explicit_bzero(secret, sizeof(secret));
  if (!ok) {
    ::unlink(path.c_str());
    throw Error({"cannot write " + path + ": " + std::strerror(err)});
  }
}

}  // namespace NetObj
