// A runtime in a process of its own, for the process tests. Modes:
//   hold <name>   imports <name> from the local agent, asks it to create an object, and holds
//                 the surrogate; prints "holding". A line "drop" on standard input drops it
//                 ("dropped").
//   own <name>    exports a service under <name> at the local agent; prints "exported".
// Then it waits for its standard input to end (or to be killed). The agent's port comes from
// NETOBJ_AGENT_PORT.
#include <cstdio>
#include <iostream>
#include <string>

#include "netobj/Runtime.h"
#include "netobj/test/TestService.h"

int main(int argc, char** argv) {
  using namespace NetObj;
  if (argc != 3) return 2;
  std::string mode = argv[1], name = argv[2];
  try {
    if (mode == "hold") {
      auto service = std::dynamic_pointer_cast<TestNetObj::ServiceSurrogate>(
          ImportObject(name, LocateAgent("127.0.0.1")));
      if (!service) return 3;
      std::shared_ptr<T> unit = service->create(false);
      std::printf("holding\n");
      std::fflush(stdout);
      for (std::string line; std::getline(std::cin, line);) {
        if (line == "drop") {
          unit.reset();
          std::printf("dropped\n");
          std::fflush(stdout);
        }
      }
    } else if (mode == "own") {
      ExportObject(name, std::make_shared<TestNetObj::ServiceImpl>());
      std::printf("exported\n");
      std::fflush(stdout);
      for (std::string line; std::getline(std::cin, line);) {
      }
    } else {
      return 2;
    }
  } catch (const Error& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  return 0;
}
