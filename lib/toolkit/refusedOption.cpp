#include "refusedOption.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

const char *refusedOption(int result, char **argv)
{
    static char name[64];
    // A missing value ends the command line, so its element is the last one
    // read; an unknown long option has no option character.
    const char *element = argv[optind - 1];
    bool isLong = strncmp(element, "--", 2) == 0 && (result == ':' || optopt == 0);
    if (isLong) {
        size_t length = strcspn(element, "=");
        snprintf(name, sizeof name, "%.*s", static_cast<int>(length < sizeof name ? length : sizeof name - 1),
                 element);
    } else {
        snprintf(name, sizeof name, "-%c", optopt);
    }
    return name;
}
