// The server program: reads its options, opens the window, exports its one object as "fractal"
// at the local agent and parks its main thread; from then on the runtime's threads serve the
// clients' calls until the process is killed.
//
// Exit status: 1 for a bad command line, and 1 when the export fails or the parked thread is
// woken by an exception; the server has no orderly stop.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interface/FractalNetObj.h"
#include "netobj/NetObj.h"
#include "server/src/CommandLine.h"
#include "server/src/FractalNetObjImpl.h"
#include "server/src/Put.h"
#include "server/src/ServerState.h"

namespace Server {
namespace {

constexpr char kUsage[] = "Usage: server [-width #] [-height #] [-crosshairs]\n";

struct Options {
  int32_t sx = 320;
  int32_t sy = 240;
  int32_t crossHairs = 0;
};

// The options in any order; throws CommandLine::Error for anything else.
Options ParseOptions(int argc, char** argv) {
  CommandLine line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  Options options;
  if (line.Keyword("-crosshairs")) options.crossHairs = 1;
  if (line.Keyword("-width")) options.sx = line.GetInt(1, kMaxWidth);
  if (line.Keyword("-height")) options.sy = line.GetInt(1, kMaxHeight);
  line.Finish();
  return options;
}

void PrintBanner() {
  Put("Fractal Server:\n\n");
  Put("Now you should start one or more clients using \"client [hostname]\"\n");
  Put("Use the mouse, left click to center and zoom in, right click to\n");
  Put("  center and zoom out.\n");
}

// Exports the server object and parks the calling thread for good. Returns only by exception.
[[noreturn]] void ExportAndPark(ServerState& state) {
  std::unique_lock lock(state.mutex);
  NetObj::ExportObject("fractal", state.myFractalNetObj);
  for (;;) state.cv.wait(lock);  // nothing signals cv; a spurious wake-up parks again
}

// On SIGUSR1 the server writes how many work units are alive (handed out and still held by a
// client, or not yet released by the runtime) to standard error, so that an operator or a soak
// run can see that the table stays small. The signal is blocked in every thread and taken by
// sigwait on a thread of its own, where writing is safe.
void ReportLiveUnitsOnSignal(const ServerState& state) {
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  std::thread([&state, usr1] {
    for (;;) {
      int signal = 0;
      if (sigwait(&usr1, &signal) != 0) return;
      std::fprintf(stderr, "server: %lld live work units\n",
                   static_cast<long long>(state.LiveUnits()));
      std::fflush(stderr);
    }
  }).detach();
}

// Blocks SIGUSR1 in this thread and so in every thread started after it.
void BlockUsr1() {
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
}

int Main(int argc, char** argv) {
  BlockUsr1();
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const CommandLine::Error&) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  // The state lives until the process ends: the runtime's threads use it to the last moment.
  auto* state = new ServerState(options.sx, options.sy, options.crossHairs);
  ReportLiveUnitsOnSignal(*state);
  PrintBanner();
  FractalNetObj::InitUI(state->sx, state->sy);
  try {
    ExportAndPark(*state);
  } catch (const NetObj::Error& e) {
    for (const std::string& atom : e.atoms()) Put("***Error> " + atom + "\n");
  } catch (...) {
    Put("an unknown exception occured\n");
  }
  return 1;
}

}  // namespace
}  // namespace Server

int main(int argc, char** argv) { return Server::Main(argc, argv); }
