// A small remote type for testing the runtime without the fractal stubs: "Test.Service" with a
// subtype "Test.Special", hand-written stubs for both, and local implementations. A third type,
// "Test.Unregistered", has no stubs, so it arrives as its nearest registered supertype.
#pragma once

#include <condition_variable>
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
  int32_t special() override;
  void callRaw(int32_t prot, int32_t code);
};

// Surrogates of Test.Service proper are this type; those of Test.Special the other.
class PlainServiceSurrogate : public ServiceSurrogate {};
class SpecialSurrogate : public ServiceSurrogate {};

class ServiceImpl : public Special {
 public:
  int32_t add(int32_t a, int32_t b) override { return a + b; }
  Ref echo(const Ref& r) override;
  int32_t wait() override;
  void fail() override;
  Mix mix(Mix m) override { return m; }
  int32_t callAdd(const std::shared_ptr<NetObj::T>& target, int32_t a, int32_t b) override;
  int32_t takeText(const Ref& r) override;
  int32_t special() override { return 7; }

  void OpenGate();
  int waiting() const;
  Ref last_received() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  int waiting_ = 0;
  Ref last_ = nullptr;
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
