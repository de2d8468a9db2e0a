// Two tiny libraries, each linking fractal_interface on its own, as the server's and client's
// component libraries do; stubs_link_test links both and fractal_interface itself.
#pragma once

namespace LinkProbe {
int LibraryA();
int LibraryB();
}  // namespace LinkProbe
