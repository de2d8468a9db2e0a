// The installed programs across the hosts of a LAN: the package (FRACTAL_DEB) unpacked into a
// scratch root, and three hosts made of network namespaces. The server's host runs the agent and
// the server as the agent's unit starts them; two client hosts each run the clients' unit's
// command, naming the server's host by a name that only the namespaces' hosts files know. The
// server's window is on a private X server outside the namespaces, which every view is compared
// with pixel for pixel. Every program holds the one cluster key the test makes: the client hosts
// are not the server's host, and without a key it would serve only itself. Then one client host
// is cut off (its link set down) while its clients wait for rows of the next view: the rows it
// was given come back once its lease has run out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "netobj/RuntimeOptions.h"
#include "tests/support/KeyFile.h"
#include "tests/support/NamespaceHosts.h"
#include "tests/support/Program.h"
#include "tests/support/XProbe.h"
#include "tests/support/XvfbServer.h"
#include "tests/tools/tour/Tour.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test_support::Invocation;
using test_support::NamespaceHosts;
using test_support::Program;

constexpr char kServerHost[] = "render-host";
constexpr int kClientsPerHost = 2;
constexpr milliseconds kStartTimeout{10000};
constexpr milliseconds kViewTimeout{120000};
constexpr milliseconds kClickTimeout{20000};
constexpr unsigned int kLeft = test_support::kLeftButton;

// The package's files, unpacked with dpkg-deb -x into a directory removed afterwards.
class UnpackedPackage {
 public:
  explicit UnpackedPackage(const std::string& deb) {
    char dir[] = "/tmp/fractal-lan-XXXXXX";
    if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
    auto run = test_support::RunToEnd(
        Invocation{"/usr/bin/dpkg-deb", {"-x", deb, root_.string()}, {}, {}}, milliseconds(60000));
    if (run.status != 0) throw std::runtime_error("dpkg-deb -x " + deb + " failed: " + run.err);
  }
  ~UnpackedPackage() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // The command of the unit's ExecStart, its program taken from the unpacked root, with
  // `instance` for %i.
  Invocation UnitCommand(const std::string& unit, const std::string& instance = "") const {
    std::ifstream file(UnitFile(unit));
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("ExecStart=", 0) != 0) continue;
      std::istringstream words(line.substr(10));
      Invocation invocation;
      for (std::string word; words >> word;) {
        if (word == "%i") word = instance;
        if (invocation.path.empty())
          invocation.path = (root_ / fs::path(word).relative_path()).string();
        else
          invocation.args.push_back(word);
      }
      return invocation;
    }
    throw std::runtime_error("no ExecStart in " + unit);
  }

  std::string Program(const std::string& name) const { return (root_ / "usr/bin" / name).string(); }

 private:
  fs::path UnitFile(const std::string& unit) const {
    for (const char* dir : {"lib/systemd/system", "usr/lib/systemd/system"}) {
      fs::path p = root_ / dir / unit;
      if (fs::exists(p)) return p;
    }
    throw std::runtime_error("the package has no unit " + unit);
  }

  fs::path root_;
};

std::string PackagePath() {
  const char* deb = std::getenv("FRACTAL_DEB");
  return deb != nullptr ? deb : "";
}

TEST(LanTest, ThreeHostsRenderTheLargestViewExactlyAndACutOffHostOnlyDelaysIt) {
  const std::string deb = PackagePath();
  ASSERT_TRUE(!deb.empty() && fs::exists(deb))
      << "FRACTAL_DEB must name the package built by scripts/package (scripts/test sets it)";
  UnpackedPackage package(deb);
  test_support::XvfbServer xvfb(1280, 1664);
  NamespaceHosts lan(kServerHost, 2);
  const test_support::KeyFile key_file;  // the hosts share the file system: one file for all
  const std::string key = key_file.Setting();

  Invocation agent_unit = package.UnitCommand("netobj-agent.service");
  agent_unit.env = {key};
  Program agent(lan.In(0, agent_unit));
  ASSERT_TRUE(agent.WaitForOut("listening on port 7917", kStartTimeout)) << agent.Err();
  Program server(lan.In(0, Invocation{package.Program("fractal-server"),
                                      {"-width", "1600", "-height", "1200"},
                                      {"DISPLAY=" + xvfb.display(), "NETOBJ_PORT=7918", key},
                                      {}}));
  ASSERT_TRUE(server.WaitForOut("Use the mouse", kStartTimeout)) << server.Err();
  tour::TourSettings settings;
  settings.display = xvfb.display();
  settings.sx = 1600;
  settings.sy = 1200;
  tour::Tour t(settings);

  // Clients that came before the server's export end and are started again by the pool.
  std::vector<std::unique_ptr<Program>> pools;
  for (int host = 1; host <= 2; ++host) {
    Invocation pool = package.UnitCommand("fractal-client@.service", kServerHost);
    pool.env = {"FRACTAL_CLIENTS=" + std::to_string(kClientsPerHost), key};
    pools.push_back(std::make_unique<Program>(lan.In(host, pool)));
  }
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "initial view";

  // A view with every host at work, for the time one takes.
  auto start = Clock::now();
  t.Click(t.Centre(), kLeft, kClickTimeout);
  ASSERT_EQ(t.AwaitView(kViewTimeout), "") << "second view";
  const auto normal = Clock::now() - start;

  // The view is complete and the server waits for the click: every client waits inside its
  // request for a row, which the click answers with one of the next view. Host 1's answers
  // never arrive.
  std::this_thread::sleep_for(milliseconds(200));
  lan.SetLink(1, false);
  const auto cut = Clock::now();
  t.Click(t.Centre(), kLeft, kClickTimeout);
  EXPECT_EQ(t.AwaitView(kViewTimeout), "") << "the view host 1 was cut off from";
  const auto delayed = Clock::now() - cut;

  const NetObj::RuntimeOptions defaults;
  // The rows waited for host 1's lease to run out: it did hold some.
  EXPECT_GT(delayed, defaults.lease_period - defaults.lease_renewal - milliseconds(500));
  EXPECT_LT(delayed - normal, defaults.lease_period + milliseconds(2000));
  std::cout << "normal view " << std::chrono::duration_cast<milliseconds>(normal).count()
            << " ms; with a host cut off "
            << std::chrono::duration_cast<milliseconds>(delayed).count() << " ms\n";
  EXPECT_FALSE(server.WaitForExit(milliseconds(0)));
  for (auto& pool : pools) EXPECT_FALSE(pool->WaitForExit(milliseconds(0)));
}

}  // namespace
