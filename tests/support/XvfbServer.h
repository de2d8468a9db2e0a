// A private X server (Xvfb) for one test: it picks a free display number itself (so it never
// takes over an existing display, the user's included) and is stopped by its pid when the
// object goes. The screen has a 24-bit TrueColor visual, 1280 x 1024 unless asked otherwise.
//
// Ownership: owns the Xvfb process. Not thread-safe; one test thread uses it.
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

class XvfbServer {
 public:
  // Starts Xvfb and returns once it accepts connections. Throws std::runtime_error when it
  // does not come up within a few seconds (the process is stopped first).
  XvfbServer() : XvfbServer(1280, 1024) {}
  XvfbServer(int screenWidth, int screenHeight);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // The display name to connect to, like ":3".
  const std::string& display() const { return display_; }

 private:
  void Launch(int displayNumberPipe, const std::string& screen);
  std::string ReadDisplayNumber(int fd);
  void WaitUntilAccepting();

  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace test_support
