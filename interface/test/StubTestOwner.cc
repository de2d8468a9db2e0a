// stub_test_owner NAME: exports one FractalNetObj.T under NAME at the local agent, prints
// "ready", and serves until SIGTERM or SIGINT. Its requestFractal hands out a work unit on odd
// calls and null on even ones; its returnResults prints what arrived, one line per call.
#include <signal.h>

#include <cstdio>
#include <mutex>

#include "interface/FractalNetObj.h"
#include "interface/test/ParamsText.h"

namespace {

class EdgeUnit : public FractalNetObj::Fractal {
 public:
  FractalNetObj::FractalParams getFractalParameters() override {
    return StubSystemTest::EdgeParams();
  }
};

class OwnerT : public FractalNetObj::T {
 public:
  std::shared_ptr<FractalNetObj::Fractal> requestFractal() override {
    std::scoped_lock lock(mu_);
    if (++requests_ % 2 == 0) return nullptr;
    return std::make_shared<EdgeUnit>();
  }
  void returnResults(FractalNetObj::FractalParams f, FractalNetObj::PixMap pixmap) override {
    std::scoped_lock lock(mu_);
    std::printf("returnResults %s %s\n", StubSystemTest::ParamsText(f).c_str(),
                StubSystemTest::PixMapText(pixmap).c_str());
    std::fflush(stdout);
  }

 private:
  std::mutex mu_;
  int requests_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stub_test_owner NAME\n");
    return 2;
  }
  // Blocked before the runtime starts its threads, so only sigwait below receives them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    NetObj::ExportObject(argv[1], std::make_shared<OwnerT>());
  } catch (const NetObj::Error& e) {
    std::printf("export failed: %s\n", e.what());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  return 0;
}
