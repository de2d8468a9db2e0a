// A small remote type for testing the runtime without the fractal stubs: "Test.Service" with a
// subtype "Test.Special", hand-written stubs for both, and local implementations. A third type,
// "Test.Unregistered", has no stubs, so it arrives as its nearest registered supertype.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "netobj/NetObj.h"

namespace TestNetObj {

using NetObj::Ref;

class Service : public NetObj::T {
 public:
  virtual int32_t add(int32_t a, int32_t b) = 0;
  virtual Ref echo(const Ref& r) = 0;
  // Blocks until the implementation's gate opens.
  virtual int32_t wait() = 0;
  virtual void fail() = 0;
  struct Mix {
    float f;
    int64_t i;
    bool b;
  };
  virtual Mix mix(Mix m) = 0;
  // Calls add(a, b) on `target`, from wherever this object lives.
  virtual int32_t callAdd(const std::shared_ptr<NetObj::T>& target, int32_t a, int32_t b) = 0;
  // Requires a text argument.
  virtual int32_t takeText(const Ref& r) = 0;
  // A new object made by the implementation (counted by its Tracker); with `after_gate`, the
  // reply waits until the gate opens. `again` hands out the last one made once more (null once
  // it is gone).
  virtual std::shared_ptr<NetObj::T> create(bool after_gate) = 0;
  virtual std::shared_ptr<NetObj::T> again() = 0;

  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {"Test.Service", "NetObj.T"};
    return kTypes;
  }
};

class Special : public Service {
 public:
  virtual int32_t special() = 0;
  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {"Test.Special", "Test.Service", "NetObj.T"};
    return kTypes;
  }
};

// Calling side. echoAs reads the echoed reference with `expected`; callRaw sends method code
// `code` with stub protocol `prot` and nothing else.
class ServiceSurrogate : public Special {
 public:
  int32_t add(int32_t a, int32_t b) override;
  Ref echo(const Ref& r) override { return echoAs(r, NetObj::TypeCode::Any()); }
  Ref echoAs(const Ref& r, const NetObj::TypeCode& expected);
  int32_t wait() override;
  void fail() override;
  Mix mix(Mix m) override;
  int32_t callAdd(const std::shared_ptr<NetObj::T>& target, int32_t a, int32_t b) override;
  int32_t takeText(const Ref& r) override;
  std::shared_ptr<NetObj::T> create(bool after_gate) override;
  std::shared_ptr<NetObj::T> again() override;
  int32_t special() override;
  void callRaw(int32_t prot, int32_t code);
};

// A received object as a surrogate of the test types; null when it is something else.
inline std::shared_ptr<ServiceSurrogate> AsService(const std::shared_ptr<NetObj::T>& o) {
  return std::dynamic_pointer_cast<ServiceSurrogate>(o);
}

// Surrogates of Test.Service proper are this type; those of Test.Special the other.
class PlainServiceSurrogate : public ServiceSurrogate {};
class SpecialSurrogate : public ServiceSurrogate {};

// What the objects a ServiceImpl created are up to; shared with them.
struct Tracker {
  std::atomic<int> made{0};
  std::atomic<int> alive{0};
  std::mutex mu;
  std::weak_ptr<NetObj::T> last;     // the last one made
  std::function<void()> on_destroy;  // runs in each one's destructor, when set
  std::atomic<bool> destroyed_under_call{false};
};

class ServiceImpl : public Special {
 public:
  ServiceImpl() : tracker_(std::make_shared<Tracker>()) {}
  int32_t add(int32_t a, int32_t b) override { return a + b; }
  Ref echo(const Ref& r) override;
  int32_t wait() override;
  void fail() override;
  Mix mix(Mix m) override { return m; }
  int32_t callAdd(const std::shared_ptr<NetObj::T>& target, int32_t a, int32_t b) override;
  int32_t takeText(const Ref& r) override;
  int32_t special() override { return 7; }
  std::shared_ptr<NetObj::T> create(bool after_gate) override;
  std::shared_ptr<NetObj::T> again() override;

  void OpenGate();
  int waiting() const;
  Ref last_received() const;
  void Forget();  // drops what echo received
  Tracker& tracker() const { return *tracker_; }

 private:
  bool WaitForGate();
  std::shared_ptr<Tracker> tracker_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  int waiting_ = 0;
  Ref last_ = nullptr;
};

// An object made by create(): counted alive in its maker's tracker.
class TrackedImpl : public ServiceImpl {
 public:
  explicit TrackedImpl(std::shared_ptr<Tracker> maker);
  ~TrackedImpl() override;

 private:
  std::shared_ptr<Tracker> maker_;
};

// Only Test.Service's RemoteTypes (a local object offered as the less specific type).
class PlainServiceImpl : public ServiceImpl {
 public:
  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {"Test.Service", "NetObj.T"};
    return kTypes;
  }
};

class UnregisteredImpl : public ServiceImpl {
 public:
  std::span<const std::string_view> RemoteTypes() const override {
    static constexpr std::string_view kTypes[] = {"Test.Unregistered", "Test.Service", "NetObj.T"};
    return kTypes;
  }
};

}  // namespace TestNetObj
