#include "tests/system/SystemRig.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace system_test {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kBannerTimeout{10000};
constexpr milliseconds kClientStartTimeout{10000};
constexpr int kClientAttempts = 50;
constexpr milliseconds kClientRetryPause{100};

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
  for (int attempt = 0; attempt < kClientAttempts; ++attempt) {
    auto client = std::make_unique<test_support::Program>(invocation);
    if (client->WaitForOut("Requesting work unit 1...\n", kClientStartTimeout)) {
      clients_.push_back(std::move(client));
      return *clients_.back();
    }
    if (client->Out().find("not running") == std::string::npos) {
      throw std::runtime_error("a client did not start: " + client->Out() + client->Err());
    }
    std::this_thread::sleep_for(kClientRetryPause);
  }
  throw std::runtime_error("no client found the server");
}

}  // namespace system_test
