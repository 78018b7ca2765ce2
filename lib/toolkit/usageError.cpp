#include "usageError.h"

#include <cstdio>

bool usageError(const Usage &usage, const char *what, const char *text)
{
    fprintf(stderr, "%s: %s '%s'%s\n", usage.program, what, text, usage.hint);
    return false;
}
