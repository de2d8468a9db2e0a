// netobj_stranger: asks a host once, as a peer it does not know, and prints what came back on
// one line (Stranger.h says which lines). For tests that run it on a host of their own.
//
//   netobj_stranger import <host> <port> <name>
//   netobj_stranger call <host> <port> <space, hex> <object> <stub protocol> [<int32>...]
//
// Exit status 0 with a line printed, 2 for a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "netobj/wire/Addresses.h"
#include "tests/tools/stranger/Stranger.h"

namespace {

// Longer than any handshake deadline a runtime keeps, so that silence is silence.
constexpr std::chrono::milliseconds kAnswerLimit{10000};

int Usage() {
  std::fputs(
      "usage: netobj_stranger import <host> <port> <name>\n"
      "       netobj_stranger call <host> <port> <space> <object> <stub-prot> [<int32>...]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 3) return Usage();
  const bool import = args[0] == "import";
  if (!(import ? args.size() == 4 : args[0] == "call" && args.size() >= 6)) return Usage();
  try {
    const auto port = static_cast<uint16_t>(std::stoul(args[2]));
    std::vector<NetObj::Endpoint> at = NetObj::ResolveHost(args[1], port);
    stranger::Request request;
    if (import) {
      request = stranger::ImportRequest(args[3]);
    } else {
      NetObj::WireId target{std::stoull(args[3], nullptr, 16), std::stoull(args[4])};
      std::vector<int32_t> values;
      for (std::size_t i = 6; i < args.size(); ++i) values.push_back(std::stoi(args[i]));
      request = stranger::CallRequest(target, std::stoi(args[5]), values);
    }
    std::printf("%s\n",
                stranger::Describe(stranger::Ask(at.front(), request, kAnswerLimit)).c_str());
  } catch (const NetObj::Error& e) {
    stranger::Answer unresolved;
    unresolved.kind = stranger::Answer::Kind::kUnreachable;
    unresolved.atoms = e.atoms();
    std::printf("%s\n", stranger::Describe(unresolved).c_str());
  } catch (const std::exception&) {
    return Usage();
  }
  return 0;
}
