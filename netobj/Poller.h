// Readiness of many descriptors, watched by one thread: the serving side's only contact with
// the kernel's event interface. Each watched descriptor carries a key of the caller's choosing,
// and Wait reports the keys of those ready. A descriptor watched once reports one readiness and
// then nothing until it is modified again, so the thread that takes the report owns the
// descriptor until it hands it back; that is how a connection passes from the polling thread
// to a worker and back without both reading it.
//
// Implemented in Poller.cc. Ownership: the Poller owns its event descriptors (the watch set and
// the one that Wake signals), never the watched descriptors; remove a descriptor before closing
// it. Thread-safe: Add, Modify, Remove and Wake from any thread; Wait from one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace NetObj {

class Poller {
 public:
  enum class Watch {
    kNothing,       // stays in the set, silent but for errors (a listener out of descriptors)
    kReadable,      // reported while bytes (or a connection) wait
    kReadableOnce,  // reported once, also when the peer hangs up; Modify watches it again
  };

  // The one key Wake uses; no descriptor may carry it.
  static constexpr uint64_t kReservedKey = ~uint64_t{0};

  // Throws Error when the system gives no event descriptors.
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Failures are ignored, as the caller can do nothing about them: a descriptor that cannot be
  // watched behaves as one that never becomes ready, and the caller's time-outs end it.
  void Add(int fd, uint64_t key, Watch watch);
  void Modify(int fd, uint64_t key, Watch watch);
  // Also for a descriptor not in the set (a connection a worker holds), which is no error.
  void Remove(int fd);

  // Blocks until something is ready, Wake is called or `timeout` has passed (a negative one
  // counts as zero). Writes the ready keys to `ready` (room for one at least) and returns how
  // many.
  std::size_t Wait(std::chrono::milliseconds timeout, std::span<uint64_t> ready);
  // Ends the current or the next Wait early.
  void Wake();

 private:
  void Drain();

  int epoll_ = -1;
  int wake_ = -1;
};

}  // namespace NetObj
