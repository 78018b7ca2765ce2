// The command line of lpfscope.
#pragma once

#include <cstdint>

constexpr uint32_t DEFAULT_RATE = 1000;
constexpr uint32_t MIN_RATE = 1;
constexpr uint32_t MAX_RATE = 1000000;
constexpr double MAX_DURATION = 1e7; // seconds: about 116 days
// History kept from before the change with --trigger, at most.
constexpr uint64_t MAX_HISTORY = uint64_t{1} << 18;

struct ScopeOptions {
    uint32_t rate;          // samples per second
    uint64_t samples;       // samples to record (from the change, with trigger); 0: until interrupted
    double durationSeconds; // 0: until interrupted
    const char *window;     // a window file to watch instead of the memory device
    bool csv;
    bool trigger;
    bool help;
    bool version;
};

// Parses the arguments; false after printing a one-line usage error on
// standard error.
bool parseOptions(int argc, char **argv, ScopeOptions &options);

void printUsage();
