// lpfReplay: drives the register accesses of a recorded session (the trace
// the test preload library writes where LPF_TRACE_FILE says) into the
// verilated core, and checks the core at every clock against the reference
// built on lpfboard's arithmetic (lpfSystemReference.h): y as that
// arithmetic gives it, and every other load as the recorded program saw it.
// Optionally writes the waveform.
//
// A trace has no times. Each access takes ACCESS_CLOCKS clocks, and where
// the program had printed more before an access than before the one ahead
// of it (a new command's report), the replay first lets the filter run for
// the pause given, as a user's typing would. In every clock without an
// access of the trace it reads y, so that y is checked at every clock.
#include "Vlpf_system_100MHz.h"
#include "Vlpf_system_50MHz.h"
#include "lpfSystemClock.h"
#include "lpfSystemReference.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int ACCESS_CLOCKS = 10; // of the order of a load through the bridge
constexpr uint32_t SLAVE_SPAN = 0x80;

struct Access {
    bool store;
    unsigned word;
    uint32_t value; // loaded, or stored
    uint32_t before; // a store's: what the word held
    long long printed;
    int line;
};

struct Options {
    int mhz;
    uint64_t pauseSamples;
    const char *waveform;
    const char *trace;
};

void printUsage(FILE *to)
{
    fprintf(to, "Usage: lpfReplay [--clock MHZ] [--pause SAMPLES] [--waveform FILE.fst] TRACE\n"
                "Drives the register accesses of TRACE (as the test preload library records them\n"
                "with LPF_TRACE_FILE) into lpf_system verilated at MHZ (50 or 100; default 50),\n"
                "with a pause of SAMPLES samples (default 2000) before each new command, and checks\n"
                "it at every clock against lpfboard's arithmetic. Status 0 if it agrees, 1 if not\n"
                "or if it cannot read TRACE or write FILE.fst whole.\n");
}

bool parseOptions(int argc, char **argv, Options &options)
{
    static const option longOptions[] = {
        {"clock", required_argument, nullptr, 'c'},
        {"pause", required_argument, nullptr, 'p'},
        {"waveform", required_argument, nullptr, 'w'},
        {nullptr, 0, nullptr, 0},
    };
    options = Options{50, 2000, nullptr, nullptr};
    int option = 0;
    while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        char *end = nullptr;
        switch (option) {
        case 'c': options.mhz = static_cast<int>(strtol(optarg, &end, 10)); break;
        case 'p': options.pauseSamples = strtoull(optarg, &end, 10); break;
        case 'w': options.waveform = optarg; break;
        default: return false;
        }
        if (end != nullptr && (*end != '\0' || end == optarg))
            return false;
    }
    if (optind + 1 != argc || (options.mhz != 50 && options.mhz != 100))
        return false;
    options.trace = argv[optind];
    return true;
}

// The accesses of a trace, in order; false, having said why, on a line it
// cannot read or an access outside the slave.
bool readTrace(const char *path, std::vector<Access> &accesses)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "lpfReplay: cannot open %s\n", path);
        return false;
    }
    char line[256];
    int number = 0;
    bool good = true;
    while (good && fgets(line, sizeof line, file) != nullptr) {
        ++number;
        unsigned physical = 0;
        unsigned first = 0;
        unsigned second = 0;
        long long printed = 0;
        Access access{};
        if (sscanf(line, "store %x %x %x @%lld", &physical, &first, &second, &printed) == 4)
            access = Access{true, 0, second, first, printed, number};
        else if (sscanf(line, "load %x %x @%lld", &physical, &first, &printed) == 3)
            access = Access{false, 0, first, 0, printed, number};
        else if (strncmp(line, "map ", 4) == 0)
            continue;
        else
            good = false;
        uint32_t offset = physical - ALT_LWFPGASLVS_OFST;
        if (good && (offset >= SLAVE_SPAN || offset % 4 != 0))
            good = false;
        access.word = offset / 4;
        if (good)
            accesses.push_back(access);
        else
            fprintf(stderr, "lpfReplay: %s:%d: not an access to the slave: %s", path, number, line);
    }
    fclose(file);
    return good;
}

const char *wordName(unsigned word)
{
    switch (word) {
    case LED_WORD: return "LED";
    case U_WORD: return "u";
    case KU_WORD: return "Ku";
    case KY_WORD: return "Ky";
    case Y_WORD: return "y";
    default: return "another word";
    }
}

template <typename Model> struct Replay {
    Model top;
    std::unique_ptr<Waveform> waveform;
    Reference ref;
    Coverage coverage{};
    uint64_t cycle = 0;
    bool agrees = true;

    explicit Replay(int divider) : ref(resetReference(divider)) {}

    // One clock, checked against the reference.
    void clock(const Bus &bus, bool reset)
    {
        clockEdge(top, bus, reset, waveform.get());
        referenceEdge(ref, bus, reset, coverage);
        ++cycle;
        if (agrees && (top.readdata != ref.readdata || top.led != ref.led)) {
            fprintf(stderr, "lpfReplay: at clock %" PRIu64 ": read data 0x%08X, LEDs 0x%08X; lpfboard's arithmetic: "
                            "0x%08X, 0x%08X\n", cycle, top.readdata, top.led, ref.readdata, ref.led);
            agrees = false;
        }
    }

    // Clocks without an access of the trace: y read in each.
    void idle(uint64_t clocks)
    {
        for (uint64_t i = 0; i < clocks && agrees; ++i)
            clock(Bus{Y_WORD, false, 0, ALL_LANES, true}, false);
    }

    void replay(const Access &access, const char *trace)
    {
        if (access.store) {
            if (access.word != Y_WORD && wordOf(ref, access.word) != access.before) {
                fprintf(stderr, "lpfReplay: %s:%d: %s held 0x%08X before the store, the core 0x%08X\n", trace,
                        access.line, wordName(access.word), access.before, wordOf(ref, access.word));
                agrees = false;
            }
            clock(Bus{access.word, true, access.value, ALL_LANES, false}, false);
            idle(ACCESS_CLOCKS - 1);
            return;
        }
        clock(Bus{access.word, false, 0, ALL_LANES, true}, false);
        // y is what the core computes; every other word what the program saw.
        if (access.word != Y_WORD && top.readdata != access.value) {
            fprintf(stderr, "lpfReplay: %s:%d: the program loaded 0x%08X from %s, the core gives 0x%08X\n", trace,
                    access.line, access.value, wordName(access.word), top.readdata);
            agrees = false;
        }
        idle(ACCESS_CLOCKS - 1);
    }
};

template <typename Model> int replayTrace(const Options &options, const std::vector<Access> &accesses)
{
    int divider = options.mhz / 10;
    if (options.waveform != nullptr)
        Verilated::traceEverOn(true);
    Replay<Model> run(divider);
    if (options.waveform != nullptr) {
        run.waveform = openWaveform(run.top, options.mhz, options.waveform);
        if (!run.waveform) {
            fprintf(stderr, "lpfReplay: cannot write the waveform %s: its folder is missing, or something other than a file is there\n", options.waveform);
            return 1;
        }
    }
    run.clock(Bus{}, true);
    long long printed = -1;
    uint64_t pauses = 0;
    uint64_t yLoads = 0;
    for (const Access &access : accesses) {
        if (printed >= 0 && access.printed > printed) {
            run.idle(options.pauseSamples * static_cast<uint64_t>(divider));
            ++pauses;
        }
        printed = access.printed;
        run.replay(access, options.trace);
        yLoads += !access.store && access.word == Y_WORD ? 1 : 0;
        if (!run.agrees)
            break;
    }
    run.idle(options.pauseSamples * static_cast<uint64_t>(divider));
    if (run.waveform && !closeWaveform(*run.waveform)) {
        fprintf(stderr, "lpfReplay: the waveform %s may not be whole: its disk is full\n", options.waveform);
        return 1;
    }
    printf("lpfReplay: %zu accesses (%" PRIu64 " of them loads of y) at %d MHz, %" PRIu64 " pauses, in %" PRIu64
           " clocks (%" PRIu64 " samples): %s; y at the end 0x%08X\n",
           accesses.size(), yLoads, options.mhz, pauses, run.cycle, run.coverage.samples,
           run.agrees ? "the core agrees with lpfboard's arithmetic at every clock" : "the core DISAGREES",
           run.top.readdata);
    return run.agrees ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options{};
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage(stdout);
        return 0;
    }
    if (!parseOptions(argc, argv, options)) {
        printUsage(stderr);
        return 2;
    }
    std::vector<Access> accesses;
    if (!readTrace(options.trace, accesses))
        return 1;
    switch (options.mhz) {
    case 100: return replayTrace<Vlpf_system_100MHz>(options, accesses);
    default: return replayTrace<Vlpf_system_50MHz>(options, accesses);
    }
}
