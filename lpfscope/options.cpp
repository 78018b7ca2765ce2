#include "options.h"
#include "coreCheck.h"
#include "hwregs.h"
#include "program.h"
#include "refusedOption.h"
#include "samplerPlan.h"
#include "stopSignals.h"
#include "usageError.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

static size_t digits(const char *&text)
{
    const char *start = text;
    while (*text >= '0' && *text <= '9')
        ++text;
    return static_cast<size_t>(text - start);
}

// A decimal number as people write it, for every option: digits with an
// optional fraction and exponent ("1000", "0.5", "1e3"); no sign, blank,
// hexadecimal, infinity or NaN.
static bool parseNumber(const char *text, double &value)
{
    const char *rest = text;
    size_t count = digits(rest);
    if (*rest == '.') {
        ++rest;
        count += digits(rest);
    }
    if (count == 0)
        return false;
    if (*rest == 'e' || *rest == 'E') {
        ++rest;
        if (*rest == '+' || *rest == '-')
            ++rest;
        if (digits(rest) == 0)
            return false;
    }
    if (*rest != '\0')
        return false;
    value = strtod(text, nullptr);
    return true;
}

static bool parseRate(const char *text, uint32_t &rate)
{
    // Whole samples per second only: "10.5" is refused, not guessed.
    double value = 0.0;
    if (!parseNumber(text, value) || value < MIN_RATE || value > MAX_RATE || value != std::floor(value))
        return false;
    rate = static_cast<uint32_t>(value);
    return true;
}

static bool parseDuration(const char *text, double &seconds)
{
    double value = 0.0;
    if (!parseNumber(text, value) || !(value > 0.0) || !(value <= MAX_DURATION))
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
           "  -r, --rate=HZ          samples per second, a whole number from %u to %u\n"
           "                         (default %u)\n"
           "  -d, --duration=SECONDS stop after that long, above 0 and at most %.0f\n"
           "                         (default: until interrupted)\n"
           "  -c, --csv              CSV on standard output (the default off a terminal)\n"
           "  -t, --trigger          wait until u or y changes, then record; the duration\n"
           "                         counts from the change, and a tenth of it (or one\n"
           "                         second) from before it is kept, at most %llu samples;\n"
           "                         if nothing changes, only the header is written\n"
           "  -w, --window=FILE      watch a virtual board's window file instead of the\n"
           "                         memory device (scripts/virtual-board names it)\n"
           "  -h, --help             show this help and exit\n"
           "  -V, --version          show the version and exit\n"
           "\n"
           "Numbers are decimal: 1000, 0.5, 1e3. CSV columns: time_s,led,u,ku,ky,y,u_pu,y_pu.\n"
           "%s ends the recording cleanly.\n"
           "At the end, standard error says what answers at 0x%08X (\"LPf core\n"
           "version 1, built for 50.000 MHz\", or \"no LPf core answers at 0x%08X\n"
           "(its identity word reads 0x...)\": sampling goes on either way), the sample\n"
           "rate measured from the core's sample counter (\"sample rate 10.000 MHz\n"
           "(expected 10.000 MHz)\", or \"not measured\" for a recording under %lld s), a\n"
           "warning when that rate is off by more than %.0f%% (the core's CLOCK_HZ does not\n"
           "match the clock it is given: every time constant is off by that factor),\n"
           "then how many samples were taken, late, missed (skipped after a pause) and\n"
           "dropped (output too slow), and how many rows were written. The live view\n"
           "shows the core and its rate on a line of its own.\n"
           "Up to %u samples per second the sampler runs at real-time priority where\n"
           "that is allowed (as root, or with RLIMIT_RTPRIO).\n",
           MIN_RATE, MAX_RATE, DEFAULT_RATE, MAX_DURATION, static_cast<unsigned long long>(MAX_HISTORY),
           stopSignalNames(), ALT_LWFPGASLVS_OFST, ALT_LWFPGASLVS_OFST,
           static_cast<long long>(MIN_MEASURED_SECONDS), RATE_TOLERANCE * 100, REAL_TIME_MAX_RATE);
}

constexpr Usage USAGE{PROGRAM, "; try 'lpfscope --help'"};

bool parseOptions(int argc, char **argv, ScopeOptions &options)
{
    // The limits as the help states them.
    char rateRefusal[80];
    char durationRefusal[80];
    snprintf(rateRefusal, sizeof rateRefusal, "--rate takes whole samples per second from %u to %u, not", MIN_RATE,
             MAX_RATE);
    snprintf(durationRefusal, sizeof durationRefusal, "--duration takes seconds above 0 and at most %.0f, not",
             MAX_DURATION);
    static const option longOptions[] = {
        {"rate", required_argument, nullptr, 'r'}, {"duration", required_argument, nullptr, 'd'},
        {"csv", no_argument, nullptr, 'c'},        {"trigger", no_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
        {"window", required_argument, nullptr, 'w'},
        {nullptr, 0, nullptr, 0},
    };
    options = ScopeOptions{DEFAULT_RATE, 0, 0.0, nullptr, false, false, false, false};
    opterr = 0; // our own one-line messages
    optind = 0; // a full restart of getopt, should it have parsed before
    int option = 0;
    while ((option = getopt_long(argc, argv, ":r:d:cthVw:", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'r':
            if (!parseRate(optarg, options.rate))
                return usageError(USAGE, rateRefusal, optarg);
            break;
        case 'd':
            if (!parseDuration(optarg, options.durationSeconds))
                return usageError(USAGE, durationRefusal, optarg);
            break;
        case 'c': options.csv = true; break;
        case 't': options.trigger = true; break;
        case 'h': options.help = true; break;
        case 'V': options.version = true; break;
        case 'w': options.window = optarg; break;
        default: return refuseOption(USAGE, option, argv, "missing value after");
        }
    }
    if (optind < argc)
        return usageError(USAGE, "unexpected argument", argv[optind]);
    if (options.durationSeconds > 0.0) {
        // Every sample whose time is below the duration.
        double samples = std::ceil(options.durationSeconds * options.rate);
        options.samples = static_cast<uint64_t>(samples < 1.0 ? 1.0 : samples);
    }
    return true;
}
