// Naming the option that getopt_long refused, as the user typed it.
#pragma once

// `result` is what getopt_long returned ('?' for an unknown option, ':' for
// a missing value, with ":" leading its option string). Gives "-x" for a
// short option, even inside a cluster such as -xt, and "--name" for a long
// one; the text lasts until the next call.
const char *refusedOption(int result, char **argv);

// Whether the refusal was of a value given to a long option that takes
// none (--csv=3), rather than of an unknown option.
bool refusedValue(int result, char **argv);
