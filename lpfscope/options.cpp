#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

constexpr double MAX_DURATION = 1e7; // seconds: about 116 days

static bool parseRate(const char *text, uint32_t &rate)
{
    // Whole samples per second only: "1e3" or "10.5" is refused, not guessed.
    if (*text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > MAX_RATE)
        return false;
    rate = static_cast<uint32_t>(value);
    return true;
}

static bool parseDuration(const char *text, double &seconds)
{
    char *end = nullptr;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0.0) || !(value <= MAX_DURATION))
        return false;
    seconds = value;
    return true;
}

void printUsage()
{
    printf("Usage: lpfscope [OPTION]...\n"
           "Samples the LED and LPf filter registers at a steady rate, read-only, and shows\n"
           "them live on a terminal or records them as CSV.\n"
           "\n"
           "  -r, --rate=HZ          samples per second, 1 to %u (default %u)\n"
           "  -d, --duration=SECONDS stop after that long (default: until interrupted)\n"
           "  -c, --csv              CSV on standard output (the default off a terminal)\n"
           "  -t, --trigger          wait until u or y changes, then record, with a tenth of\n"
           "                         the duration (or one second) of history before it\n"
           "  -h, --help             show this help and exit\n"
           "  -V, --version          show the version and exit\n"
           "\n"
           "CSV columns: time_s,led,u,ku,ky,y,u_pu,y_pu. SIGINT or SIGTERM ends the\n"
           "recording cleanly. The counts of samples taken and late go to standard error.\n",
           MAX_RATE, DEFAULT_RATE);
}

static bool usageError(const char *what, const char *text)
{
    fprintf(stderr, "lpfscope: %s '%s'; try 'lpfscope --help'\n", what, text);
    return false;
}

bool parseOptions(int argc, char **argv, ScopeOptions &options)
{
    static const option longOptions[] = {
        {"rate", required_argument, nullptr, 'r'}, {"duration", required_argument, nullptr, 'd'},
        {"csv", no_argument, nullptr, 'c'},        {"trigger", no_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    options = ScopeOptions{DEFAULT_RATE, 0, 0.0, false, false, false, false};
    opterr = 0; // our own one-line messages
    optind = 1;
    int option = 0;
    while ((option = getopt_long(argc, argv, ":r:d:cthV", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'r':
            if (!parseRate(optarg, options.rate))
                return usageError("--rate takes whole samples per second from 1 to 1000000, not", optarg);
            break;
        case 'd':
            if (!parseDuration(optarg, options.durationSeconds))
                return usageError("--duration takes a number of seconds above 0, not", optarg);
            break;
        case 'c': options.csv = true; break;
        case 't': options.trigger = true; break;
        case 'h': options.help = true; break;
        case 'V': options.version = true; break;
        case ':': return usageError("missing value after", argv[optind - 1]);
        default: return usageError("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return usageError("unexpected argument", argv[optind]);
    if (options.durationSeconds > 0.0) {
        // Every sample whose time is below the duration.
        double samples = std::ceil(options.durationSeconds * options.rate);
        options.samples = static_cast<uint64_t>(samples < 1.0 ? 1.0 : samples);
    }
    return true;
}
