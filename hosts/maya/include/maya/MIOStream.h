// Stand-in for <maya/MIOStream.h>: the iostreams with the global using
// declarations that the devkit's CHECK macros rely on (unqualified cerr, endl).
#pragma once

#include <iostream>

using std::cerr;
using std::cin;
using std::cout;
using std::endl;
using std::flush;
using std::ostream;
