// How lpfboard and lpfscope refuse an option that getopt_long refused.
#pragma once

#include "usageError.h"

// `result` is what getopt_long returned ('?' for an unknown option or a
// value given to a long option that takes none, ':' for a missing value,
// with ":" leading its option string). Prints the usage error that names
// the option as the user typed it ("-x" even inside a cluster such as -xt,
// "--name" for a long one), with `missing` ("missing value after") as the
// words for a missing value; gives false, for the parser to return.
bool refuseOption(const Usage &usage, int result, char **argv, const char *missing);
