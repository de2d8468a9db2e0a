// Retries a client until the server's object is exported.
#include "tests/support/ClientStart.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace test_support {

namespace {
constexpr std::chrono::milliseconds kStartTimeout{10000};
constexpr int kAttempts = 50;
constexpr std::chrono::milliseconds kRetryPause{100};
}  // namespace

std::unique_ptr<Program> StartServedClient(const Invocation& invocation) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto client = std::make_unique<Program>(invocation);
    if (client->WaitForOut("Requesting work unit 1...\n", kStartTimeout)) return client;
    if (client->Out().find("not running") == std::string::npos) {
      throw std::runtime_error("a client did not start: " + client->Out() + client->Err());
    }
    std::this_thread::sleep_for(kRetryPause);
  }
  throw std::runtime_error("no client found the server");
}

}  // namespace test_support
