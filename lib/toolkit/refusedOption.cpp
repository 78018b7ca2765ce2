#include "refusedOption.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

// A missing value ends the command line, so its element is the last one
// read; so is a long option refused, whatever its fault.
bool isLong(char **argv) { return strncmp(argv[optind - 1], "--", 2) == 0; }

} // namespace

bool refusedValue(int result, char **argv)
{
    // getopt_long names the long option that takes no value by its
    // character; an unknown one has none.
    return result == '?' && optopt != 0 && isLong(argv) && strchr(argv[optind - 1], '=') != nullptr;
}

const char *refusedOption(int result, char **argv)
{
    static char name[64];
    (void)result;
    const char *element = argv[optind - 1];
    if (isLong(argv)) {
        size_t length = strcspn(element, "=");
        snprintf(name, sizeof name, "%.*s", static_cast<int>(length < sizeof name ? length : sizeof name - 1),
                 element);
    } else {
        snprintf(name, sizeof name, "-%c", optopt);
    }
    return name;
}
