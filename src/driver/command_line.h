// The program's main routine: banner, option pass, then one conversion per input path.
#pragma once

#include "driver/convert_file.h"

// Returns the exit status: 0 when at least one input path was processed, 1 after help or
// when no input path was given, 255 when memory ran out building an output path.
int runQuorvexa(int argc, char** argv, const DriverSettings& defaults = DriverSettings{});
