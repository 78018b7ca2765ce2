// The command line of lpfscope.
#pragma once

#include <cstdint>

constexpr uint32_t DEFAULT_RATE = 1000;
constexpr uint32_t MAX_RATE = 1000000;

struct ScopeOptions {
    uint32_t rate;          // samples per second
    uint64_t samples;       // samples to record (from the change, with trigger); 0: until interrupted
    double durationSeconds; // 0: until interrupted
    bool csv;
    bool trigger;
    bool help;
    bool version;
};

// Parses the arguments; false after printing a one-line usage error on
// standard error.
bool parseOptions(int argc, char **argv, ScopeOptions &options);

void printUsage();
