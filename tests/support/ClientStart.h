// Starting a client against a server that has just opened its window: the server exports its
// object only after the window is up, so a client started in between finds no server, says
// so and ends. StartServedClient starts it again until it requests its first work unit.
//
// Ownership: the returned program is the caller's. Thread-safe: no shared state.
#pragma once

#include <memory>

#include "tests/support/Program.h"

namespace test_support {

// A running client that has asked for its first work unit. Throws std::runtime_error when a
// client fails for another reason, or none found the server within about five seconds.
std::unique_ptr<Program> StartServedClient(const Invocation& invocation);

}  // namespace test_support
