#include "ratio_reporter.h"

int main(int argc, char** argv) { return gwbench::runWithRatios(argc, argv); }
