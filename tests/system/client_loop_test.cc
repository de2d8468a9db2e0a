// The client program's work loop against a server core that this test process serves over the
// network object runtime, so that the test can hold a row itself and leave the view drained: the
// client then gets null answers until the view completes, and its announcements are counted
// against the units it actually fetched.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "interface/FractalNetObj.h"
#include "netobj/Runtime.h"
#include "server/src/FractalNetObjImpl.h"
#include "server/src/ServerState.h"
#include "server/test/ScriptedDisplay.h"
#include "tests/support/Agent.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"

namespace system_test {
namespace {

using namespace std::chrono_literals;

// The server object as the client reaches it: the server core's, counting what it answers; once
// the client has had `units` work units, the next request fails, which ends the client.
class CountingServer : public FractalNetObj::T {
 public:
  CountingServer(std::shared_ptr<FractalNetObj::T> server, int units)
      : server_(std::move(server)), limit_(units) {}

  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override {
    if (units_ == limit_) throw NetObj::Error({"test", "no more units"});
    std::shared_ptr<FractalNetObj::Fractal> unit = server_->requestFractal();
    ++(unit ? units_ : nulls_);
    return unit;
  }
  void returnResults(FractalNetObj::FractalParams f, FractalNetObj::PixMap pixmap) override {
    server_->returnResults(std::move(f), std::move(pixmap));
  }

  int units() const { return units_; }
  int nulls() const { return nulls_; }

 private:
  const std::shared_ptr<FractalNetObj::T> server_;
  const int limit_;
  // One client calls, one call at a time.
  std::atomic<int> units_{0};
  std::atomic<int> nulls_{0};
};

// The client announces each unit once, however often the server answers null before it gets
// one: with the test holding row 0 of a two-row view, the client's second request meets a
// drained view and is answered null many times until the test returns its row and the view
// moves on. Three units fetched, then a failing request: four announcements.
TEST(ClientLoopTest, ARequestAnsweredNullIsAnnouncedOnce) {
  constexpr int kUnits = 3;
  constexpr int kNulls = 200;  // answers null the client must have had before the view goes on
  ServerTest::ScriptedDisplay::Get().Reset(ServerTest::ScriptedDisplay::kScriptOnly);
  ServerTest::ScriptedDisplay::Get().Queue({256, 1.0, 2.0});
  ServerTest::ScriptedDisplay::Get().Queue({256, 1.0, 2.0});

  test_support::Agent agent(AGENT_PATH);
  NetObj::RuntimeOptions options;
  options.agent_port = agent.port();
  NetObj::Runtime runtime(options);
  Server::ServerState state(4, 2, 0);
  auto server = std::make_shared<CountingServer>(state.myFractalNetObj, kUnits);
  runtime.ExportObject("fractal", server, NetObj::AgentHandle{"127.0.0.1", agent.port()});

  const std::shared_ptr<FractalNetObj::Fractal> held = state.myFractalNetObj->requestFractal();
  ASSERT_NE(held, nullptr);
  const FractalNetObj::FractalParams row0 = held->getFractalParameters();

  test_support::Program client({CLIENT_PATH, {"localhost"}, {agent.PortSetting()}, {}});
  test_support::WaitUntil([&] { return server->nulls() >= kNulls; }, 20s, 2ms);
  ASSERT_GE(server->nulls(), kNulls) << client.Out() << client.Err();
  EXPECT_EQ(server->units(), 1);

  auto counts = std::make_shared<NetObj::Int32Array2D>(row0.sx, row0.sy);
  state.myFractalNetObj->returnResults(row0, counts);

  EXPECT_EQ(client.WaitForExit(20s), 1) << client.Out() << client.Err();
  EXPECT_EQ(server->units(), kUnits);
  std::string expected;
  for (int unit = 1; unit <= kUnits + 1; ++unit) {
    expected += "Requesting work unit " + std::to_string(unit) + "...\n";
  }
  EXPECT_EQ(client.Out(), expected + "Netobj.error\n");
  EXPECT_EQ(ServerTest::ScriptedDisplay::Get().ShownCount(), 2u);
}

}  // namespace
}  // namespace system_test
