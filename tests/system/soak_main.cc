// soak_run: a server serving thousands of views, one after another, to four clients, with the
// left button held (each completed view zooms once). Reads the server's resident memory
// (VmRSS in /proc/<pid>/status) at view 100 and at the last view and prints the growth in KiB
// last, as "soak: <KiB>". Usage: soak_run [views [width height]]
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "tests/support/Wait.h"
#include "tests/system/HeldButton.h"
#include "tests/system/SystemRig.h"

namespace {

using std::chrono::milliseconds;

constexpr int kClients = 4;
constexpr int kFirstReading = 100;
constexpr milliseconds kWindowTimeout{10000};
constexpr milliseconds kViewTimeout{30000};

// The resident set of `pid` in KiB; -1 when it cannot be read.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

// Asks the server for its count of live work units (it answers SIGUSR1 on standard error) and
// returns the answer's line; empty when none came within a second.
std::string LiveUnits(system_test::SystemRig& rig) {
  const std::string marker = " live work units";
  const std::size_t before = rig.server().Err().size();
  rig.server().Signal(SIGUSR1);
  std::string line;
  test_support::WaitUntil(
      [&] {
        const std::string err = rig.server().Err();
        const std::size_t end = err.find(marker, before);
        if (end == std::string::npos) return false;
        const std::size_t start = err.rfind('\n', end);
        line =
            err.substr(start == std::string::npos ? 0 : start + 1, end + marker.size() - start - 1);
        return true;
      },
      milliseconds(1000), milliseconds(10));
  return line;
}

int Run(int views, int sx, int sy) {
  system_test::SystemRig rig;
  rig.StartServer({"-width", std::to_string(sx), "-height", std::to_string(sy)});
  system_test::HeldButton mouse(rig.display(), sx, sy, kWindowTimeout);
  for (int i = 0; i < kClients; ++i) rig.StartClient();
  if (!mouse.AwaitPoll(kViewTimeout)) {
    std::cerr << "soak: the initial view did not complete\n";
    return 1;
  }
  const pid_t server = rig.server().pid();
  long first = -1;
  long last = -1;
  const auto start = std::chrono::steady_clock::now();
  mouse.Press(1, sy / 3, sx / 3);
  const int done = mouse.CountViews(views, kViewTimeout, [&](int view) {
    if (view == kFirstReading) first = ResidentKiB(server);
    if (view == views) last = ResidentKiB(server);
    if (view % 500 == 0) {
      std::cout << "view " << view << ": " << ResidentKiB(server) << " KiB, " << LiveUnits(rig)
                << "\n";
    }
  });
  mouse.Release();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (done != views || first < 0 || last < 0) {
    std::cerr << "soak: only " << done << " of " << views << " views completed\n";
    return 1;
  }
  std::cout << views << " views of " << sx << "x" << sy << " to " << kClients << " clients in "
            << seconds << " s\n";
  std::cout << "server resident at view " << kFirstReading << ": " << first << " KiB\n";
  std::cout << "server resident at view " << views << ": " << last << " KiB\n";
  std::cout << "after the last view, " << LiveUnits(rig) << " (" << kClients << " clients)\n";
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::cout << "3 s later, " << LiveUnits(rig) << "\n";
  std::cout << "soak: " << last - first << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int views = argc > 1 ? std::stoi(argv[1]) : 2000;
  const int sx = argc > 3 ? std::stoi(argv[2]) : 320;
  const int sy = argc > 3 ? std::stoi(argv[3]) : 240;
  if (views <= kFirstReading) {
    std::cerr << "usage: soak_run [views > " << kFirstReading << " [width height]]\n";
    return 2;
  }
  try {
    return Run(views, sx, sy);
  } catch (const std::exception& e) {
    std::cerr << "soak: " << e.what() << "\n";
    return 1;
  }
}
