// How a program refuses its command line: one line on standard error.
#pragma once

struct Usage {
    const char *program;
    const char *hint; // the rest of the line: where to read more, or ""
};

// Prints "PROGRAM: WHAT 'TEXT'" and the hint; gives false, for the parser
// to return.
bool usageError(const Usage &usage, const char *what, const char *text);
