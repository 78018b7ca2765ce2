#include "refusedOption.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

// A missing value ends the command line, so its element is the last one
// read; so is a long option refused, whatever its fault.
bool isLong(char **argv) { return strncmp(argv[optind - 1], "--", 2) == 0; }

// Whether the refusal was of a value given to a long option that takes
// none (--csv=3), rather than of an unknown option.
bool refusedValue(int result, char **argv)
{
    // getopt_long names the long option that takes no value by its
    // character; an unknown one has none.
    return result == '?' && optopt != 0 && isLong(argv) && strchr(argv[optind - 1], '=') != nullptr;
}

// The option as the user typed it; the text lasts until the next call.
const char *refusedOption(char **argv)
{
    static char name[64];
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

} // namespace

bool refuseOption(const Usage &usage, int result, char **argv, const char *missing)
{
    const char *what = result == ':'                 ? missing
                       : refusedValue(result, argv) ? "no value may follow"
                                                    : "unknown option";
    return usageError(usage, what, refusedOption(argv));
}
