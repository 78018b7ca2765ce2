#include "recording.h"

constexpr double DEFAULT_HISTORY_SECONDS = 1.0;

uint64_t historyLength(const ScopeOptions &options)
{
    if (!options.trigger)
        return 0;
    double seconds = options.durationSeconds > 0.0 ? options.durationSeconds / 10.0 : DEFAULT_HISTORY_SECONDS;
    double samples = seconds * options.rate;
    return samples >= static_cast<double>(MAX_HISTORY) ? MAX_HISTORY : static_cast<uint64_t>(samples);
}
