// The server's console output. Every message but the usage text goes through Put, so that what
// the user sees arrives in order even when standard output is a pipe.
#pragma once

#include <string_view>

namespace Server {

// Writes `t` to standard output exactly as given (no newline added), then flushes standard
// output and then standard error. Reports nothing: a console that cannot be written loses the
// text. Safe on any thread; concurrent texts are not interleaved within one call's write.
void Put(std::string_view t);

}  // namespace Server
