#include "interface/test/LinkProbe.h"

int LinkProbe::LibraryB() { return 2; }
