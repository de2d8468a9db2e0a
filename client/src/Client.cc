// The client program: imports the server's "fractal" object from the agent on the server's host
// and then computes work units for ever, until a remote call fails.
//
// Exit status: 0 is never reached by the loop; every ending through the handler is a failure
// (usage, unknown host, no server, a failed call) and ends with status 1 so that scripts can
// tell.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "client/src/Compute.h"
#include "client/src/HostLookup.h"
#include "interface/FractalNetObj.h"
#include "netobj/NetObj.h"

namespace Client {
namespace {

// Raised by the start-up checks after they have printed their own message.
class Failure : public std::exception {
 public:
  const char* what() const noexcept override { return "Client.Failure"; }
};

// Every console message goes through here, flushed at once so that interleaved programs and
// pipes see each line as it happens.
void Put(std::string_view t) {
  std::fwrite(t.data(), 1, t.size(), stdout);
  std::fflush(stdout);
  std::fflush(stderr);
}

std::string Quoted(std::string_view format, const std::string& text) {
  std::string out(format);
  out.replace(out.find("%s"), 2, text);
  return out;
}

[[noreturn]] void WorkLoop(const std::shared_ptr<FractalNetObj::T>& myFractalNetObj) {
  int32_t workUnits = 0;
  std::shared_ptr<FractalNetObj::Fractal> myFractal;
  for (;;) {
    workUnits = workUnits + 1;
    Put("Requesting work unit " + std::to_string(workUnits) + "...\n");
    // The unit is held until the next request replaces it, past returnResults: the server
    // takes a unit that every holder dropped before its result came in for a lost row.
    myFractal = myFractalNetObj->requestFractal();
    while (myFractal == nullptr) myFractal = myFractalNetObj->requestFractal();
    const FractalNetObj::FractalParams fractalParams = myFractal->getFractalParameters();
    const FractalNetObj::PixMap pixmap = Compute(fractalParams);
    myFractalNetObj->returnResults(fractalParams, pixmap);
  }
}

int Main(int argc, char** argv) {
  try {
    if (argc != 2) {
      Put(std::string("Usage: ") + (argc > 0 ? argv[0] : "client") + " <host>\n");
      throw Failure();
    }
    const std::string host = argv[1];
    // A lookup that fails without an answer about the name is raised (HostLookup.h) and ends
    // in the handler's message for anything unforeseen, not in "No such host".
    if (!HostResolves(host)) {
      Put(Quoted("No such host \"%s\"\n", host));
      throw Failure();
    }
    const NetObj::AgentHandle agent = NetObj::LocateAgent(host);
    std::shared_ptr<NetObj::T> imported = NetObj::ImportObject("fractal", agent);
    if (imported == nullptr) {
      Put("Error: a fractal server is not running on \"" + host + "\"\n");
      throw Failure();
    }
    auto myFractalNetObj = std::dynamic_pointer_cast<FractalNetObj::T>(imported);
    if (myFractalNetObj == nullptr) {
      // Something else is exported under the name: as for any failed type check of a
      // received reference, that is a failed remote operation.
      throw NetObj::Error({"\"fractal\" is not a FractalNetObj.T"});
    }
    WorkLoop(myFractalNetObj);
  } catch (const Failure&) {
  } catch (const NetObj::Error&) {
    Put("Netobj.error\n");
  } catch (...) {
    Put("An unknown fatal error occurred.");
  }
  return 1;
}

}  // namespace
}  // namespace Client

int main(int argc, char** argv) { return Client::Main(argc, argv); }
