#include "tests/system/SystemRig.h"

#include <chrono>
#include <stdexcept>

#include "tests/support/ClientStart.h"

namespace system_test {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kBannerTimeout{10000};

}  // namespace

test_support::Invocation ServerInvocation(std::vector<std::string> args) {
  return {SERVER_PATH, std::move(args), {}, {}};
}

test_support::Invocation ClientInvocation(std::vector<std::string> args) {
  return {CLIENT_PATH, std::move(args), {}, {}};
}

std::string AgentPath() { return AGENT_PATH; }

SystemRig::SystemRig(Screen screen) : xvfb_(screen.width, screen.height), agent_(AgentPath()) {}

SystemRig::~SystemRig() {
  clients_.clear();
  server_.reset();
}

std::vector<std::string> SystemRig::Environment() const {
  return {"DISPLAY=" + display(), agent_.PortSetting()};
}

test_support::Program& SystemRig::StartServer(const std::vector<std::string>& args) {
  test_support::Invocation invocation = ServerInvocation(args);
  invocation.env = Environment();
  server_ = std::make_unique<test_support::Program>(invocation);
  if (!server_->WaitForOut(kBanner, kBannerTimeout)) {
    throw std::runtime_error("the server printed no banner: " + server_->Out() + server_->Err());
  }
  return *server_;
}

test_support::Program& SystemRig::StartClient() {
  test_support::Invocation invocation = ClientInvocation({"localhost"});
  invocation.env = Environment();
  clients_.push_back(test_support::StartServedClient(invocation));
  return *clients_.back();
}

}  // namespace system_test
