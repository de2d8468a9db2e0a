// e2e_bench: the whole system under a private Xvfb (agent, server, clients) with the left button
// held on the server's window, so that the server zooms once per completed view, for a fixed
// time. Prints work units per second over the collection phase of the views against the floor
// measured in the same run, and the display's painting time per view.
//
//   e2e_bench [-width W] [-height H] [-seconds S] [-clients N] [-key 0|1]
//
// With -key the run has a network namespace of its own, with only its loopback, so that the
// kernel's count of accepted TCP connections (PassiveOpens) is that of this run's agent and
// server alone; it is printed per view. With -key 1 the agent, the server and the clients share
// a cluster key made for the run, so every connection is TLS 1.3 and each accepted connection is
// one handshake. The floor stays the plain TCP one: what the key costs shows in the ratio.
//
// Phases. The server queries the pointer only once it has painted a complete view, and with
// the button held it takes the first answer as a click. The X RECORD watch therefore sees one
// pointer query per view, at the end of its painting; the time between two such queries is
// the next view's collection (first request, which follows the click at once because the
// clients are already waiting on the server's lock, to last result) plus its painting (the
// adapter's DisplayFractal and the one pointer query that closes it). The painting is then
// measured on its own on the same Xvfb, once the system has stopped: the same image (the view
// followed with the server's arithmetic and computed as the clients compute it) through the
// same adapter, followed by the same pointer query. Collection = period - painting. The zoom
// arithmetic after the click is left in the collection: it makes the figure a little lower.
//
// Floor. Per view: with N clients, N rows at a time, each needing one Compute of that row
// (timed here with Client::Compute on the view's own rows, one core, the system stopped) and
// three raw loopback round trips: two of small messages (requestFractal,
// getFractalParameters) and one carrying the row (returnResults), measured as a raw TCP
// ping-pong like bench/rpc's baseline. Floor time of a view = rows x (compute + 3 trips) / N.
// Ratio = sum of floor times / sum of collection times; 1 is the floor.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackPing.h"
#include "client/src/Compute.h"
#include "interface/FractalNetObj.h"
#include "tests/support/Agent.h"
#include "tests/support/ClientStart.h"
#include "tests/support/KeyFile.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"
#include "tests/support/XProbe.h"
#include "tests/support/XvfbServer.h"
#include "tests/tools/tour/PointerWatch.h"
#include "tests/tools/tour/View.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWindowTimeout{15000};
constexpr milliseconds kViewTimeout{30000};
constexpr int kMaxViews = 150;
// A branch point of the filaments above the main cardioid: views around it keep their detail
// (see the tour), so rows differ in cost as in real use. The first click puts it at the centre,
// where the pointer then stays.
constexpr double kTargetX = -0.10109636384562;
constexpr double kTargetY = 0.95628651080914;
constexpr std::size_t kSmallMessage = 64;
constexpr std::size_t kReplyMessage = 32;

struct Options {
  int32_t sx = 320;
  int32_t sy = 240;
  int seconds = 20;
  int clients = 2;
  int key = -1;  // -1: the host's network as it is; 0: a namespace of its own; 1: and a key
};

// Connections accepted on the run's loopback, agent and server together.
struct Accepted {
  long run = 0;      // from the clients' start to the end of the run
  int runViews = 0;  // views completed in that time
  long steady = 0;   // from the end of the first view to the end of the last
  int steadyViews = 0;
};

// One view whose collection and painting lie wholly inside the run.
struct ViewRun {
  tour::View view;
  double periodSeconds = 0;   // from the click before it to its own first pointer query
  double computeSeconds = 0;  // Client::Compute over all its rows
  double paintSeconds = 0;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (key == "-width")
      o.sx = value;
    else if (key == "-height")
      o.sy = value;
    else if (key == "-seconds")
      o.seconds = value;
    else if (key == "-clients")
      o.clients = value;
    else if (key == "-key")
      o.key = value;
    else
      throw std::invalid_argument(key);
  }
  if (o.sx < 1 || o.sx > 1600 || o.sy < 1 || o.sy > 1200 || o.seconds < 1 || o.clients < 1 ||
      o.key < -1 || o.key > 1) {
    throw std::invalid_argument("options out of range");
  }
  return o;
}

// A network namespace with its loopback up, for this process and all it starts.
void EnterOwnNetwork() {
  if (::unshare(CLONE_NEWNET) != 0)
    throw std::runtime_error(std::string("cannot make a network namespace: ") +
                             std::strerror(errno));
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq lo{};
  std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &lo) == 0 &&
                  (lo.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &lo) == 0);
  if (fd >= 0) ::close(fd);
  if (!up) throw std::runtime_error("cannot bring the namespace's loopback up");
}

// The kernel's count of TCP connections accepted in this network namespace.
long PassiveOpens() {
  std::ifstream snmp("/proc/net/snmp");
  std::string names, values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (names.rfind("Tcp:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "PassiveOpens") return std::stol(value);
  }
  throw std::runtime_error("no PassiveOpens in /proc/net/snmp");
}

Window AwaitWindow(test_support::XProbe& probe, const Options& o) {
  Window w = None;
  if (!test_support::WaitUntil([&] { return (w = probe.FindNewWindow({}, o.sy, o.sx)) != None; },
                               kWindowTimeout, milliseconds(20))) {
    throw std::runtime_error("the server window did not appear");
  }
  return w;
}

bool IsClick(const tour::View& v, const tour::PointerQuery& q) {
  if (q.mask != static_cast<uint32_t>(FractalNetObj::kLeftButtonAlone)) return false;
  const double x = q.windowX;
  const double y = v.sx - 1 - q.windowY;
  return x >= 0 && x <= v.sy && y >= 0 && y <= v.sx;
}

// Runs the system with the button held and returns the views that completed in the run, each
// with its period. The first view is left out: its collection began with the clients' start.
std::vector<ViewRun> RunSystem(const Options& o, const std::string& display, Accepted& accepted) {
  // The agent takes the bench's environment only; the others get the setting as well.
  std::optional<test_support::KeyFile> key;
  if (o.key == 1) {
    key.emplace();
    ::setenv("NETOBJ_KEY_FILE", key->path().c_str(), 1);
  } else if (o.key == 0) {
    ::unsetenv("NETOBJ_KEY_FILE");
  }
  test_support::Agent agent(AGENT_PATH);
  std::vector<std::string> env = {"DISPLAY=" + display, agent.PortSetting()};
  if (key) env.push_back(key->Setting());
  test_support::Program server(
      {SERVER_PATH, {"-width", std::to_string(o.sx), "-height", std::to_string(o.sy)}, env, {}});
  test_support::XProbe probe(display);
  const Window window = AwaitWindow(probe, o);
  tour::PointerWatch watch(display, window);
  int left = 0, top = 0;
  probe.Origin(window, left, top);
  tour::View view = tour::View::Initial(o.sx, o.sy);
  const tour::WindowPosition target = tour::PositionOf(view, kTargetX, kTargetY);
  probe.MovePointer(left + std::clamp(target.column, 0, o.sy - 1),
                    top + std::clamp(target.row, 0, o.sx - 1));
  probe.Button(1, true);

  const long openedBefore = o.key >= 0 ? PassiveOpens() : 0;
  long openedSteady = 0;
  std::vector<std::unique_ptr<test_support::Program>> clients;
  for (int i = 0; i < o.clients; ++i) {
    clients.push_back(test_support::StartServedClient(
        test_support::Invocation{CLIENT_PATH, {"localhost"}, env, {}}));
  }
  std::vector<ViewRun> views;
  std::optional<Clock::time_point> lastClick;
  const auto end = Clock::now() + std::chrono::seconds(o.seconds);
  bool centred = false;
  while (Clock::now() < end) {
    const std::optional<tour::PointerQuery> q = watch.Next(kViewTimeout);
    const auto at = Clock::now();
    if (!q) throw std::runtime_error("no view completed within the timeout");
    if (!IsClick(view, *q)) continue;  // a later poll of a view already counted
    if (lastClick)
      views.push_back({view, std::chrono::duration<double>(at - *lastClick).count()});
    else if (o.key >= 0)
      openedSteady = PassiveOpens();
    lastClick = at;
    view = view.AfterClick(static_cast<int32_t>(q->mask), q->windowX, view.sx - 1 - q->windowY);
    if (!centred) {
      probe.MovePointer(left + o.sy / 2, top + (o.sx - 1 - o.sx / 2));
      centred = true;
    }
  }
  if (o.key >= 0) {
    const long openedAfter = PassiveOpens();
    accepted.run = openedAfter - openedBefore;
    accepted.runViews = lastClick ? static_cast<int>(views.size()) + 1 : 0;
    accepted.steady = openedAfter - openedSteady;
    accepted.steadyViews = static_cast<int>(views.size());
  }
  probe.Button(1, false);
  for (auto& c : clients) c->Stop();
  server.Stop();
  if (views.size() > static_cast<std::size_t>(kMaxViews)) views.resize(kMaxViews);
  return views;
}

// Computes every row of the view as a client does, timing Compute alone; returns the image.
FractalNetObj::ImageStar ComputeView(ViewRun& run) {
  auto image = std::make_shared<FractalNetObj::ImageRec>();
  image->width = run.view.sx;
  image->height = run.view.sy;
  image->data = std::make_shared<NetObj::Int32Array2D>(run.view.sx, run.view.sy);
  double seconds = 0;
  for (int32_t r = 0; r < run.view.sy; ++r) {
    const FractalNetObj::FractalParams unit = run.view.RowUnit(r);
    const auto t0 = Clock::now();
    const FractalNetObj::PixMap row = Client::Compute(unit);
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    for (int32_t x = 0; x < run.view.sx; ++x) image->data->at(x, r) = row->at(x, 0);
  }
  run.computeSeconds = seconds;
  return image;
}

// Paints as the server does at the end of a view: DisplayFractal, then its first pointer query.
double PaintSeconds(const FractalNetObj::ImageStar& image) {
  const auto t0 = Clock::now();
  FractalNetObj::DisplayFractal(image, 0);
  FractalNetObj::getMouseAction();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int Run(const Options& o) {
  if (o.key >= 0) EnterOwnNetwork();
  test_support::XvfbServer xvfb(std::max(1280, o.sy + 16), std::max(1024, o.sx + 16));
  Accepted accepted;
  std::vector<ViewRun> views = RunSystem(o, xvfb.display(), accepted);
  if (views.empty()) throw std::runtime_error("no complete view in the run");

  const double smallTrip =
      bench::LoopbackPing(kSmallMessage, kReplyMessage).BestRoundTripMicros(5000, 5);
  const double rowTrip =
      bench::LoopbackPing(kSmallMessage + 4 * static_cast<std::size_t>(o.sx), kReplyMessage)
          .BestRoundTripMicros(5000, 5);
  const double tripsPerRow = (2 * smallTrip + rowTrip) * 1e-6;

  setenv("DISPLAY", xvfb.display().c_str(), 1);
  FractalNetObj::InitUI(o.sx, o.sy);
  // The button held on this window too, so that the pointer query after painting returns at
  // once, as the server's first query does in the run.
  test_support::XProbe probe(xvfb.display());
  const Window window = AwaitWindow(probe, o);
  int left = 0, top = 0;
  probe.Origin(window, left, top);
  probe.MovePointer(left + o.sy / 2, top + o.sx / 2);
  probe.Button(1, true);
  double period = 0, paint = 0, compute = 0, floor = 0, maxPaint = 0;
  long units = 0;
  for (ViewRun& v : views) {
    const FractalNetObj::ImageStar image = ComputeView(v);
    v.paintSeconds = PaintSeconds(image);
    period += v.periodSeconds;
    paint += v.paintSeconds;
    maxPaint = std::max(maxPaint, v.paintSeconds);
    compute += v.computeSeconds;
    units += v.view.sy;
    floor += (v.computeSeconds + v.view.sy * tripsPerRow) / o.clients;
  }
  probe.Button(1, false);
  const double collection = period - paint;
  const double n = static_cast<double>(views.size());
  std::printf("e2e %dx%d, %d clients, %d s: %zu views measured, %ld work units\n", o.sx, o.sy,
              o.clients, o.seconds, views.size(), units);
  std::printf("  per view: period %.2f ms = collection %.2f ms + painting %.2f ms (max %.2f)\n",
              1e3 * period / n, 1e3 * collection / n, 1e3 * paint / n, 1e3 * maxPaint);
  std::printf("  floor per row: Compute %.1f us + round trips 2 x %.1f us + %.1f us (row)\n",
              1e6 * compute / static_cast<double>(units), smallTrip, rowTrip);
  std::printf("  achieved %.0f units/s, floor %.0f units/s\n", units / collection, units / floor);
  if (o.key >= 0) {
    const char* what = o.key == 1 ? "TLS handshakes" : "plain connections";
    std::printf(
        "  %s (connections the agent and the server accepted): %ld over the run's %d "
        "views, %ld over the %d after the first\n",
        what, accepted.run, accepted.runViews, accepted.steady, accepted.steadyViews);
    std::printf(
        "e2e %dx%d %s per view: %.3f\n", o.sx, o.sy, o.key == 1 ? "handshakes" : "connections",
        accepted.runViews > 0 ? static_cast<double>(accepted.run) / accepted.runViews : 0.0);
  }
  std::printf("e2e %dx%d: %.3f\n", o.sx, o.sy, floor / collection);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "e2e_bench: %s\n", e.what());
    return 1;
  }
}
