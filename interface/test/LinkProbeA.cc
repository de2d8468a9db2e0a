#include "interface/test/LinkProbe.h"

int LinkProbe::LibraryA() { return 1; }
